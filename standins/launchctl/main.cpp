// launchctl stand-in: accepts exactly the one form the helper uses to run a
// tool as the logged-in user,
//   asuser U /usr/bin/sudo -n -H -u #U -- TOOL ARGS...
// with U a user id in decimal (no sign, no leading zero), and runs it: the
// real sudo when /usr/bin/sudo exists (which refuses an id no account has),
// else the tool itself after switching to that user and its primary group.
// Anything else exits 2 with a usage line, running nothing.
//
// Environment:
//   TARNEL_LAUNCHCTL_CALLS  when set, each accepted call's arguments are
//                           appended to it as one line, joined by blanks

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kSudo = "/usr/bin/sudo";

bool isUserIdentifier(std::string_view text) {
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string_view::npos &&
           (text == "0" || text.front() != '0') && std::stoull(std::string(text)) <= 0xFFFFFFFFull;
}

int usage() {
    std::fputs("usage: launchctl asuser U /usr/bin/sudo -n -H -u #U -- TOOL [ARGS...]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() < 9 || arguments[0] != "asuser" || !isUserIdentifier(arguments[1]) ||
        arguments[2] != kSudo || arguments[3] != "-n" || arguments[4] != "-H" || arguments[5] != "-u" ||
        arguments[6] != "#" + arguments[1] || arguments[7] != "--" || arguments[8].empty() ||
        arguments[8].front() != '/') {
        return usage();
    }
    if (const char* calls = std::getenv("TARNEL_LAUNCHCTL_CALLS")) {
        std::string line;
        for (const std::string& argument : arguments) line += (line.empty() ? "" : " ") + argument;
        std::ofstream out(calls, std::ios::app);
        out << line << '\n';
        if (!out.flush()) {
            std::fputs("launchctl stand-in: cannot record the call\n", stderr);
            return 2;
        }
    }
    if (::access(kSudo, X_OK) == 0) {
        ::execv(kSudo, argv + 3);
        std::fprintf(stderr, "launchctl stand-in: cannot run sudo: %s\n", std::strerror(errno));
        return 126;
    }
    // Without sudo: become the user ourselves, as sudo would, then run the tool.
    const auto user = static_cast<uid_t>(std::stoul(arguments[1]));
    const passwd* account = ::getpwuid(user);
    if (account == nullptr) {
        std::fputs("launchctl stand-in: unknown user id\n", stderr);
        return 1;
    }
    if (::setgroups(0, nullptr) != 0 || ::setgid(account->pw_gid) != 0 || ::setuid(user) != 0) {
        std::fprintf(stderr, "launchctl stand-in: cannot become the user: %s\n", std::strerror(errno));
        return 1;
    }
    ::execv(argv[9], argv + 9);
    std::fprintf(stderr, "launchctl stand-in: cannot run the tool: %s\n", std::strerror(errno));
    return 126;
}
