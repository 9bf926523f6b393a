// A module without a string table.
int main() { return 0; }
