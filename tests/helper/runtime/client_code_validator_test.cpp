#include "helper/runtime/client_code_validator.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"

namespace tarnel::ClientCodeValidator {
namespace {

namespace fs = std::filesystem;

TEST(ClientCodeValidator, StandardizesPathsLexically) {
    const struct {
        const char* path;
        const char* standardized;
    } cases[] = {
        {"/Applications/Tarnel Direct.app", "/Applications/Tarnel Direct.app"},
        {"/Applications/./Tarnel Direct.app/.", "/Applications/Tarnel Direct.app"},
        {"/Applications/Tarnel Direct.app/", "/Applications/Tarnel Direct.app"},
        {"//Applications///Tarnel Direct.app//", "/Applications/Tarnel Direct.app"},
        {"/a/b/../c/./d/..", "/a/c"},
        {"/a/b/Contents/../../Tarnel Direct.app", "/a/Tarnel Direct.app"},
        {"/..", "/"},
        {"/../a", "/a"},
        {"/", "/"},
        {"/.", "/"},
        {"a/./b/..", "a"},
        {"../a/../../b", "../../b"},
        {"a/..", "."},
        {"/a/...", "/a/..."},
        {"/a/.b/..c", "/a/.b/..c"},
    };
    for (const auto& example : cases) {
        EXPECT_EQ(standardized(example.path).native(), example.standardized) << example.path;
    }
    EXPECT_EQ(standardized(""), fs::path());
}

TEST(ClientCodeValidator, FindsTheNearestEnclosingApplicationBundle) {
    const struct {
        const char* executable;
        const char* bundle;  // nullptr: refused
    } cases[] = {
        {"/Applications/Tarnel Direct.app/Contents/MacOS/Tarnel Direct", "/Applications/Tarnel Direct.app"},
        {"/Applications/Tarnel Direct.app/Contents/Helpers/bin/deeper/tool", "/Applications/Tarnel Direct.app"},
        {"/Outer.app/Contents/Inner.app/Contents/MacOS/x", "/Outer.app/Contents/Inner.app"},
        {"/Applications/Tarnel Direct.app", "/Applications/Tarnel Direct.app"},
        {"/Applications/./Tarnel Direct.app/Contents/../Contents/MacOS/x", "/Applications/Tarnel Direct.app"},
        {"/a/b.app/c/../../d/Contents/MacOS/x", nullptr},
        {"/Applications/Good.APP/Contents/MacOS/Tarnel Direct", nullptr},
        {"/Applications/Good.App/Contents/MacOS/x", nullptr},
        {"/Applications/Tarnel Direct.app.bak/Contents/MacOS/x", nullptr},
        {"/Applications/.app/Contents/MacOS/x", nullptr},
        {"/usr/bin/tarnel", nullptr},
        {"/", nullptr},
        {"relative.app/Contents/MacOS/x", "relative.app"},
        {"relative/Contents/MacOS/x", nullptr},
        {"", nullptr},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.executable);
        if (example.bundle != nullptr) {
            EXPECT_EQ(applicationBundleURL(example.executable).native(), example.bundle);
            continue;
        }
        try {
            (void)applicationBundleURL(example.executable);
            ADD_FAILURE() << "found a bundle";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::unauthorizedClient);
        }
    }
}

TEST(ClientCodeValidator, LogsOneErrorLineWithOrWithoutAStatus) {
    ScopedLogCapture capture;
    log("guest_code", -71003);
    log("bundle_identifier", std::nullopt);
    log("application_static_path", 0);
    const std::vector<LogEntry> expected{
        {"app.tarnel.direct.helper", "client-validation", LogLevel::error, "client_validation stage=guest_code status=-71003"},
        {"app.tarnel.direct.helper", "client-validation", LogLevel::error, "client_validation stage=bundle_identifier"},
        {"app.tarnel.direct.helper", "client-validation", LogLevel::error,
         "client_validation stage=application_static_path status=0"},
    };
    EXPECT_EQ(capture.entries(), expected);
}

TEST(ClientCodeValidator, ExecutablePathOfAProcess) {
    EXPECT_EQ(executableURL(::getpid()), fs::canonical("/proc/self/exe"));
    for (const std::int32_t pid : {0, -1, 1 << 30}) EXPECT_EQ(executableURL(pid), std::nullopt) << pid;
}

}  // namespace
}  // namespace tarnel::ClientCodeValidator
