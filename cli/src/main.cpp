#include <cstdio>
#include <exception>

#include "app.h"

int main(int argc, char** argv) {
    try {
        return bxhost::runApp(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "error: unexpected failure\n");
    }
    return 2;
}
