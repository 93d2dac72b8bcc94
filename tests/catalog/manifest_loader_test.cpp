#include "app/catalog/manifest_loader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/process/cancellation_error.hpp"

namespace tarnel {
namespace {

using namespace std::chrono_literals;

TEST(ManifestResponse, HeaderIgnoresLetterCaseAndJoinsRepeatedFields) {
    ManifestResponse response;
    response.status = 206;
    response.headers = {{"ETag", "\"a\""}, {"content-range", "bytes 0-1/2"}, {"X-Many", "1"}, {"x-many", "2"}};
    EXPECT_EQ(response.header("etag"), "\"a\"");
    EXPECT_EQ(response.header("Content-Range"), "bytes 0-1/2");
    EXPECT_EQ(response.header("X-MANY"), "1, 2");
    EXPECT_EQ(response.header("Last-Modified"), std::nullopt);
    EXPECT_EQ(response.header("ETa"), std::nullopt);
}

TEST(ManifestTransportError, CarriesTheTransportsDescription) {
    const ManifestTransportError error("Could not connect to server");
    EXPECT_EQ(error.message(), "Could not connect to server");
    EXPECT_EQ(error.typeName(), "TarnelDirect.ManifestTransportError");
}

TEST(SleepUnlessStopped, ReturnsAfterTheDurationAndFailsAtOnceWhenStopped) {
    std::stop_source running;
    EXPECT_NO_THROW(sleepUnlessStopped(0ns, running.get_token()));
    EXPECT_NO_THROW(sleepUnlessStopped(1ms, running.get_token()));

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(sleepUnlessStopped(0ns, stopped.get_token()), CancellationError);
    EXPECT_THROW(sleepUnlessStopped(1h, stopped.get_token()), CancellationError);
}

TEST(SleepUnlessStopped, AStopDuringTheWaitEndsIt) {
    std::stop_source source;
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        source.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(sleepUnlessStopped(1h, source.get_token()), CancellationError);
    // Woken by the stop, far sooner than the hour asked for.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    stopper.join();
}

}  // namespace
}  // namespace tarnel
