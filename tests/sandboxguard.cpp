// Linked into every test: a test may write, replace or remove files under
// HOME, so it runs only inside the fresh home that tests/isolated makes, never
// against the files of whoever started it.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const bool inSandbox = [] {
    const char *box = std::getenv("HV_TEST_BOX");
    const char *home = std::getenv("HOME");
    const size_t n = box ? std::strlen(box) : 0;
    if (n > 0 && home && std::strncmp(home, box, n) == 0 && home[n] == '/')
        return true;
    std::fprintf(stderr, "refusing to run: %s; run it through tests/isolated (as ctest does)\n",
                 n ? "HOME is not inside HV_TEST_BOX" : "HV_TEST_BOX is not set");
    std::_Exit(1);
}();

} // namespace
