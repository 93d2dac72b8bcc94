// Removing the application's runtime files, and the disconnect that removes
// the tunnel configuration only once the helper has let the tunnel go.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/tunnel/connect_support.hpp"
#include "common/base/files.hpp"
#include "tests/tunnel/fake_helper.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

TEST(TunnelRuntimeFiles, RemovesAFileAndIgnoresOneThatIsGone) {
    TemporaryDirectory directory;
    const fs::path file = directory / "tun-config-3F2504E0-4F89-11D3-9A0C-0305E82C3301.json";
    files::writeAtomically(file, "{}");
    TunnelRuntimeFiles::removeFile(file);
    EXPECT_FALSE(fs::exists(file));
    TunnelRuntimeFiles::removeFile(file);
    TunnelRuntimeFiles::removeFile(directory / "missing" / "tun-config.json");
    // A directory is no runtime file: it stays with what it holds.
    fs::create_directory(directory / "folder");
    files::writeAtomically(directory / "folder" / "kept", "x");
    TunnelRuntimeFiles::removeFile(directory / "folder");
    EXPECT_TRUE(fs::exists(directory / "folder" / "kept"));
}

TEST(TunnelRuntimeFiles, RemovesTheConfigurationOnlyAfterTheHelperDisconnected) {
    TemporaryDirectory directory;
    const fs::path configuration = directory / "tun-config.json";
    files::writeAtomically(configuration, "{}");
    {
        FakeHelper helper;
        helper.answer(Protocol::selector::disconnectTunnel, Answer::silence());
        EXPECT_EQ(failureOf([&] {
                      TunnelRuntimeFiles::disconnectHelperAndRemoveConfiguration(
                          PrivilegedHelperClient(helper.endpoint()), configuration, 0.3);
                  }),
                  "The privileged helper did not respond in time.");
        EXPECT_TRUE(fs::exists(configuration));
    }
    {
        FakeHelper helper;
        helper.answer(Protocol::selector::disconnectTunnel,
                      Answer::reply({{"ok", false}, {"error", std::string("pfctl failed")}}));
        EXPECT_EQ(failureOf([&] {
                      TunnelRuntimeFiles::disconnectHelperAndRemoveConfiguration(
                          PrivilegedHelperClient(helper.endpoint()), configuration);
                  }),
                  "pfctl failed");
        EXPECT_TRUE(fs::exists(configuration));
    }
    FakeHelper helper;
    helper.answer(Protocol::selector::disconnectTunnel, Answer::reply({{"ok", true}}));
    TunnelRuntimeFiles::disconnectHelperAndRemoveConfiguration(PrivilegedHelperClient(helper.endpoint()),
                                                               configuration, 0.3);
    EXPECT_FALSE(fs::exists(configuration));
    // No version pre-check goes first.
    EXPECT_EQ(helper.selectors(), std::vector<std::vector<std::string>>{{"disconnectTunnelWithReply:"}});
}

}  // namespace
}  // namespace tarnel::testing
