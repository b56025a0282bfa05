#include <cstdio>
#include <exception>

#include "app.h"
#include "output.h"

int main(int argc, char** argv) {
    try {
        return bxhost::runApp(argc, argv);
    } catch (const std::exception& e) {
        try {
            std::fprintf(stderr, "error: %s\n", bxhost::terminalText(e.what()).c_str());
        } catch (...) {
            std::fprintf(stderr, "error: unexpected failure\n");
        }
    } catch (...) {
        std::fprintf(stderr, "error: unexpected failure\n");
    }
    return 2;
}
