// A stand-in for a client process: says "ready" on standard output once it
// runs, then waits until its standard input closes. Signed copies of it are
// the peers whose code the tests look up.
#include <unistd.h>

int main() {
    if (::write(1, "ready\n", 6) != 6) {
        return 1;
    }
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}
