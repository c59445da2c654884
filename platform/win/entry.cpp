// Process entry on Windows: the wide console entry point (-municode) hands the UTF-16
// argument vector to the program's entry function.
#include "platform/platform.h"

// Arguments are passed as the platform splits them, without wildcard expansion.
int _dowildcard = 0;

int wmain(int argc, wchar_t *argv[]) {
    return WideMain(argc, argv);
}
