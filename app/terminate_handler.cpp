// Built only with the GNU toolchain (see CMakeLists.txt).
//
// libstdc++'s default terminate handler demangles the type of an uncaught
// exception to print it on stderr, which a GUI program does not have. Giving
// the handler a definition of our own keeps the demangler, about 37 KB, out of
// the static exe; the outcome of an uncaught exception stays an abort.
#include <cstdlib>

namespace __gnu_cxx
{
// NOLINTNEXTLINE(bugprone-reserved-identifier): the library's own name, on purpose
void __verbose_terminate_handler();
// NOLINTNEXTLINE(bugprone-reserved-identifier)
void __verbose_terminate_handler()
{
    std::abort();
}
} // namespace __gnu_cxx
