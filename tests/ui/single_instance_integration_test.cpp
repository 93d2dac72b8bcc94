#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/ui/single_instance.hpp"
#include "common/base/digest.hpp"
#include "common/base/unique_fd.hpp"
#include "tests/support/process_lines.hpp"
#include "tests/support/test_support.hpp"

// The single running instance across processes: the test program over the
// same class, started as the desktop would start the application.
namespace tarnel::testing {
namespace {

std::string hex(const std::string& bytes) {
    return tarnel::lowercaseHex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

const std::string kHandoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a');

class SingleInstanceTest : public ::testing::Test {
protected:
    ChildProcess start(const std::vector<std::string>& urls) {
        ChildProcess::Options options;
        options.executable = TARNEL_INSTANCE_TEST_PROGRAM;
        options.arguments = {directory.path().string()};
        options.arguments.insert(options.arguments.end(), urls.begin(), urls.end());
        options.output = ChildProcess::Redirect::pipe();
        return ChildProcess::spawn(options);
    }

    // How a start that hands its URLs over ends (it must end).
    static int exitCode(ChildProcess& child) {
        EXPECT_TRUE(child.waitForExit(30.0)) << "the start did not end";
        const auto status = child.exitStatus();
        return status ? status->terminationStatus() : -1;
    }

    TemporaryDirectory directory;
};

TEST_F(SingleInstanceTest, TheInstanceReceivesEachURLByteForByteAndARequestToRaise) {
    ChildProcess instance = start({});
    ProcessLines output(instance);
    ASSERT_TRUE(output.readLine("instance"));

    const std::vector<std::string> urls = {kHandoff, "https://x.test/a b?q=\xd0\xb4&r=%20#frag", "\"'$`\\ \t|;",
                                           ""};
    ChildProcess second = start(urls);
    EXPECT_EQ(exitCode(second), 0);
    ChildProcess third = start({});
    EXPECT_EQ(exitCode(third), 0);

    std::vector<std::string> expected;
    for (const std::string& url : urls) expected.push_back("url " + hex(url));
    expected.push_back("raise");
    ASSERT_TRUE(output.readLine("raise")) << "the request to raise a window";
    EXPECT_EQ(std::vector<std::string>(output.lines().begin() + 1, output.lines().end()), expected);
}

TEST_F(SingleInstanceTest, OfTwoSimultaneousStartsOneIsTheInstanceAndGetsBothURLs) {
    for (int round = 0; round < 5; ++round) {
        TemporaryDirectory fresh;
        const auto begin = [&](const std::string& url) {
            ChildProcess::Options options;
            options.executable = TARNEL_INSTANCE_TEST_PROGRAM;
            options.arguments = {fresh.path().string(), url};
            options.output = ChildProcess::Redirect::pipe();
            return ChildProcess::spawn(options);
        };
        std::vector<ChildProcess> starts;
        starts.push_back(begin("https://one.test/"));
        starts.push_back(begin("https://two.test/"));
        // The one that hands over ends; the instance stays.
        std::size_t instanceIndex = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (true) {
            if (starts[0].waitForExit(0.0)) {
                instanceIndex = 1;
                break;
            }
            if (starts[1].waitForExit(0.0)) {
                instanceIndex = 0;
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "neither start handed its URL over";
            ::usleep(10'000);
        }
        ChildProcess& handedOver = starts[1 - instanceIndex];
        EXPECT_EQ(exitCode(handedOver), 0) << "round " << round;
        ProcessLines output(starts[instanceIndex]);
        ASSERT_TRUE(output.readUntil([](const std::vector<std::string>& lines) { return lines.size() >= 3; }))
            << "round " << round;
        std::vector<std::string> received(output.lines().begin() + 1, output.lines().end());
        std::sort(received.begin(), received.end());
        EXPECT_EQ(output.lines().front(), "instance");
        EXPECT_EQ(received,
                  (std::vector<std::string>{"url " + hex("https://one.test/"), "url " + hex("https://two.test/")}))
            << "round " << round;
        EXPECT_TRUE(starts[instanceIndex].isRunning()) << "round " << round;
    }
}

TEST_F(SingleInstanceTest, AStartOverAStaleSocketFileBecomesTheInstance) {
    // A socket file that nothing listens on: what an instance that died leaves.
    const std::string path = (directory.path() / std::string(SingleInstance::kSocketName)).string();
    {
        UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(socket.valid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(std::filesystem::exists(path));

    ChildProcess instance = start({kHandoff});
    ProcessLines output(instance);
    ASSERT_TRUE(output.readLine("url " + hex(kHandoff)));
    EXPECT_EQ(output.lines().front(), "instance");
    ChildProcess later = start({"https://later.test/"});
    EXPECT_EQ(exitCode(later), 0);
    EXPECT_TRUE(output.readLine("url " + hex("https://later.test/")));
}

// At most 64 KiB of message: a start with more is refused before it sends
// anything, and the instance refuses a message that claims more.
TEST_F(SingleInstanceTest, MoreThanAMessageMayHoldIsRefused) {
    ChildProcess instance = start({});
    ProcessLines output(instance);
    ASSERT_TRUE(output.readLine("instance"));

    // One URL: its own 4-byte length and its bytes fill the message exactly.
    const std::string fits(SingleInstance::kMessageLimit - 4, 'f');
    ChildProcess atLimit = start({fits});
    EXPECT_EQ(exitCode(atLimit), 0);
    ASSERT_TRUE(output.readLine("url " + hex(fits)));
    ChildProcess beyond = start({fits + "g"});
    EXPECT_EQ(exitCode(beyond), 3);
    ChildProcess split = start({std::string(40'000, 'a'), std::string(40'000, 'b')});
    EXPECT_EQ(exitCode(split), 3);

    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (directory.path() / std::string(SingleInstance::kSocketName)).string().copy(address.sun_path,
                                                                                 sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::size_t claimed = SingleInstance::kMessageLimit + 1;
    const unsigned char header[4] = {static_cast<unsigned char>(claimed >> 24),
                                     static_cast<unsigned char>(claimed >> 16),
                                     static_cast<unsigned char>(claimed >> 8), static_cast<unsigned char>(claimed)};
    ASSERT_EQ(::write(socket.get(), header, sizeof header), 4);
    char answer = 0;
    ASSERT_EQ(::read(socket.get(), &answer, 1), 1);
    EXPECT_EQ(answer, 'R');

    // Nothing of the refused starts arrived.
    ChildProcess last = start({"https://last.test/"});
    EXPECT_EQ(exitCode(last), 0);
    ASSERT_TRUE(output.readLine("url " + hex("https://last.test/")));
    EXPECT_EQ(output.lines(),
              (std::vector<std::string>{"instance", "url " + hex(fits), "url " + hex("https://last.test/")}));
}

TEST(SingleInstanceMessageTest, AMessageListsItsURLsWithTheirLengths) {
    const std::vector<std::string> urls = {"a", "", std::string("\0b", 2)};
    const auto message = SingleInstance::encode(urls);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, std::string("\0\0\0\x0f" "\0\0\0\x01" "a" "\0\0\0\0" "\0\0\0\x02" "\0b", 19));
    EXPECT_EQ(SingleInstance::decode(std::string_view(*message).substr(4)), urls);
    EXPECT_EQ(SingleInstance::encode({}), std::string("\0\0\0\0", 4));
    for (const std::string_view broken : {std::string_view("\0\0\0", 3), std::string_view("\0\0\0\x05" "abcd", 8)}) {
        EXPECT_EQ(SingleInstance::decode(broken), std::nullopt);
    }
}

}  // namespace
}  // namespace tarnel::testing
