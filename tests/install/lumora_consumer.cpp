// A program built against the installed SDK alone: the installed headers compile and the installed
// libLumora (with the libTovel it needs beside it) links and answers.
#include <libLumora.h>

#include <cstdio>

int main()
{
    // A device the SDK does not know is not logged in.
    const int state = LoginState("NOT-A-DEVICE");
    if (state != 0) {
        std::fprintf(stderr, "LoginState of an unknown device: %d\n", state);
        return 1;
    }
    DeInitLibLumora();
    return 0;
}
