// The bootstrapper's run without the restricted DLL search: the control that
// shows a planted library would be loaded, so that the planting test can
// fail.
#include "bootstrap/run.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
    return bootstrap::run(instance, command_line ? command_line : "");
}
