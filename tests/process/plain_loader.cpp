// An ordinary program that loads the libraries named on its command line by
// their bare names, through the process's default search: beside the
// program first. Exit code: how many of them could not be loaded.
#include <cstdlib>

#include "corvid/win32.hpp"

int main(int argc, char** argv) {
    int missing = 0;
    for (int i = 1; i < argc; ++i)
        if (!::LoadLibraryA(argv[i])) ++missing;
    return missing;
}
