// The single running instance as a small program, for the tests that start
// it several times at once.
//
//   tarnel-instance-test-program DIRECTORY [URL...]
//
// The instance writes "instance", then "url <hex of the bytes>" for each of
// its own URLs and of every URL handed to it, and "raise" for each start
// without URLs, one line each. A start that handed its URLs over exits 0;
// one that was refused 3; one that reached nothing 4; one that could make neither lock nor socket 5.

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <vector>

#include "app/ui/single_instance.hpp"
#include "common/base/digest.hpp"

namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string hex(const std::string& bytes) {
    return tarnel::lowercaseHex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: tarnel-instance-test-program DIRECTORY [URL...]\n", stderr);
        return 2;
    }
    QCoreApplication application(argc, argv);
    const std::vector<std::string> urls(argv + 2, argv + argc);
    tarnel::SingleInstance instance(argv[1]);
    switch (instance.start(urls)) {
        case tarnel::SingleInstance::Outcome::instance: break;
        case tarnel::SingleInstance::Outcome::delivered: return 0;
        case tarnel::SingleInstance::Outcome::refused: return 3;
        case tarnel::SingleInstance::Outcome::unreachable: return 4;
        case tarnel::SingleInstance::Outcome::failed: return 5;
    }
    say("instance");
    for (const std::string& url : urls) say("url " + hex(url));
    QObject::connect(&instance, &tarnel::SingleInstance::urlsReceived, [](const std::vector<std::string>& given) {
        for (const std::string& url : given) say("url " + hex(url));
    });
    QObject::connect(&instance, &tarnel::SingleInstance::activationRequested, [] { say("raise"); });
    return QCoreApplication::exec();
}
