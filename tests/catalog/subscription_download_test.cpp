// The adaptive download of a signed route list, over a scripted loader in
// virtual time: every request is recorded and answered by the test, and
// sleeps only record their length.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/catalog/subscription_import_parser.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using namespace std::chrono_literals;
using Parser = SubscriptionImportParser;
using DownloadCase = AdaptiveManifestDownloadError::Case;
using testing::failureOf;

constexpr std::string_view kURL = "https://sub.tarnel.test/sub/m/T.json";

struct Exchange {
    ManifestRequest request;
};

// Records each request and answers it with `answer(request, index)`.
class ScriptedLoader {
public:
    using Answer = std::function<ManifestResponse(const ManifestRequest&, std::size_t index)>;

    explicit ScriptedLoader(Answer answer) : answer_(std::move(answer)) {}

    [[nodiscard]] ManifestLoader loader() {
        return [this](const ManifestRequest& request, std::stop_token stop) {
            if (stop.stop_requested()) throw CancellationError();
            requests_.push_back(request);
            return answer_(request, requests_.size() - 1);
        };
    }

    [[nodiscard]] const std::vector<ManifestRequest>& requests() const noexcept { return requests_; }

    // The "Range" value of every request, "" for one without.
    [[nodiscard]] std::vector<std::string> ranges() const {
        std::vector<std::string> values;
        for (const auto& request : requests_) values.push_back(headerOf(request, "Range").value_or(""));
        return values;
    }

    static std::optional<std::string> headerOf(const ManifestRequest& request, std::string_view name) {
        for (const auto& field : request.headers) {
            if (field.name == name) return field.value;
        }
        return std::nullopt;
    }

private:
    Answer answer_;
    std::vector<ManifestRequest> requests_;
};

// Records each sleep; `onSleep` runs inside the sleep (it may stop the task).
class VirtualSleeper {
public:
    [[nodiscard]] ManifestSleeper sleeper() {
        return [this](std::chrono::nanoseconds duration, std::stop_token stop) {
            sleeps_.push_back(duration);
            if (onSleep) onSleep(sleeps_.size() - 1);
            if (stop.stop_requested()) throw CancellationError();
        };
    }

    [[nodiscard]] const std::vector<std::chrono::nanoseconds>& sleeps() const noexcept { return sleeps_; }

    std::function<void(std::size_t index)> onSleep;

private:
    std::vector<std::chrono::nanoseconds> sleeps_;
};

ManifestResponse response(int status, std::vector<ManifestHeaderField> headers = {}, std::string body = {}) {
    ManifestResponse answer;
    answer.status = status;
    answer.headers = std::move(headers);
    answer.body = std::move(body);
    return answer;
}

// A server that honours the request's "Range" for `content`, adding `headers`.
ManifestResponse servedRange(const ManifestRequest& request, std::string_view content,
                             std::vector<ManifestHeaderField> headers = {}) {
    const std::string range = ScriptedLoader::headerOf(request, "Range").value();
    const std::size_t dash = range.find('-');
    const std::size_t start = std::stoul(range.substr(6, dash - 6));
    const std::size_t end = std::min<std::size_t>(std::stoul(range.substr(dash + 1)), content.size() - 1);
    headers.push_back({"Content-Range", "bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" +
                                            std::to_string(content.size())});
    return response(206, std::move(headers), std::string(content.substr(start, end - start + 1)));
}

std::string content(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) bytes[index] = static_cast<char>('a' + index % 26);
    return bytes;
}

ManifestTransportError dropped() { return ManifestTransportError("The network connection was lost."); }

// Runs a download with a stop source of its own.
Parser::SignedRouteList download(ScriptedLoader& loader, VirtualSleeper& sleeper, std::string_view url = kURL,
                                 std::stop_token stop = {}) {
    return Parser::downloadSignedRouteList(url, loader.loader(), sleeper.sleeper(), stop);
}

// The failure a download ends with.
AdaptiveManifestDownloadFailure failureOfDownload(ScriptedLoader& loader, VirtualSleeper& sleeper) {
    try {
        static_cast<void>(download(loader, sleeper));
    } catch (const AdaptiveManifestDownloadFailure& failure) {
        return failure;
    }
    throw std::runtime_error("the download did not end with AdaptiveManifestDownloadFailure");
}

std::optional<DownloadCase> rangeFailureCase(const AdaptiveManifestDownloadFailure& failure) {
    if (const auto* error = std::get_if<AdaptiveManifestDownloadError>(&failure.rangeFailure())) {
        return error->errorCase();
    }
    return std::nullopt;
}

const std::vector<ManifestHeaderField> kWholeRequestHeaders = {
    {"Accept", "application/json"}, {"Accept-Encoding", "identity"}, {"User-Agent", "Tarnel-Apple/1.0"}};

TEST(SignedRouteListDownload, TheWholeRequest) {
    ScriptedLoader loader([](const ManifestRequest&, std::size_t) { return response(200, {}, "{\"list\":1}"); });
    VirtualSleeper sleeper;
    EXPECT_EQ(download(loader, sleeper), (Parser::SignedRouteList{"{\"list\":1}", 200}));
    ASSERT_EQ(loader.requests().size(), 1u);
    const ManifestRequest& request = loader.requests()[0];
    EXPECT_EQ(request.url, kURL);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers, kWholeRequestHeaders);
    EXPECT_EQ(request.timeout, 8s);
    EXPECT_TRUE(request.followRedirects);
    EXPECT_EQ(request.bodyStatus, 200);
    EXPECT_EQ(request.bodyLimit, 2'097'152u);
    EXPECT_TRUE(sleeper.sleeps().empty());
}

TEST(SignedRouteListDownload, AnotherStatusIsReturnedWithoutBodyOrRanges) {
    for (const int status : {404, 410, 500, 304, 206, 0}) {
        ScriptedLoader loader([status](const ManifestRequest&, std::size_t) {
            return response(status, {{"Content-Range", "bytes 0-1/2"}}, "ignored");
        });
        VirtualSleeper sleeper;
        EXPECT_EQ(download(loader, sleeper), (Parser::SignedRouteList{"", status})) << status;
        EXPECT_EQ(loader.requests().size(), 1u);
    }
}

TEST(SignedRouteListDownload, AWholeBodyOverTwoMebibytesIsRefusedWithoutRanges) {
    struct Case {
        std::size_t size;
        bool overLimit;
        bool accepted;
    };
    for (const auto& [size, overLimit, accepted] : std::vector<Case>{
             {2'097'152, false, true}, {2'097'153, false, false}, {2'097'152, true, false}}) {
        ScriptedLoader loader([&](const ManifestRequest&, std::size_t) {
            ManifestResponse answer = response(200, {}, std::string(size, 'x'));
            answer.bodyOverLimit = overLimit;
            return answer;
        });
        VirtualSleeper sleeper;
        if (accepted) {
            EXPECT_EQ(download(loader, sleeper).body.size(), size);
        } else {
            EXPECT_EQ(failureOf([&] { static_cast<void>(download(loader, sleeper)); }),
                      "The signed route list is unexpectedly large.");
        }
        EXPECT_EQ(loader.requests().size(), 1u);
    }
}

TEST(SignedRouteListDownload, AServerIgnoringRangesFailsAfterFiveShrinkingAttempts) {
    ScriptedLoader loader([](const ManifestRequest&, std::size_t index) -> ManifestResponse {
        if (index == 0) throw dropped();
        return response(200, {}, "{}");
    });
    VirtualSleeper sleeper;
    const auto failure = failureOfDownload(loader, sleeper);
    EXPECT_EQ(failure.message(), "The signed route list could not be downloaded reliably.");
    EXPECT_EQ(failure.typeName(), "TarnelDirect.AdaptiveManifestDownloadFailure");
    EXPECT_EQ(failure.primaryFailure().description(), "The network connection was lost.");
    EXPECT_EQ(rangeFailureCase(failure), DownloadCase::invalidRange);
    EXPECT_EQ(loader.ranges(), (std::vector<std::string>{"", "bytes=0-1023", "bytes=0-1023", "bytes=0-511",
                                                         "bytes=0-511", "bytes=0-255"}));
    EXPECT_EQ(sleeper.sleeps(), (std::vector<std::chrono::nanoseconds>{1s, 2s, 2s, 2s}));

    // Every ranged request repeats the whole request's fields and asks for a fresh connection.
    std::vector<ManifestHeaderField> expected = kWholeRequestHeaders;
    expected.push_back({"Range", "bytes=0-1023"});
    expected.push_back({"Connection", "close"});
    expected.push_back({"Cache-Control", "no-cache"});
    EXPECT_EQ(loader.requests()[1].headers, expected);
    EXPECT_EQ(loader.requests()[1].timeout, 8s);
    EXPECT_EQ(loader.requests()[1].bodyStatus, 206);
    EXPECT_EQ(loader.requests()[1].bodyLimit, 1024u);
    EXPECT_EQ(loader.requests()[5].bodyLimit, 256u);
}

TEST(SignedRouteListDownload, AStopEndsTheDownloadWithCancellation) {
    // In a sleep between retries: nothing is requested after it.
    {
        std::stop_source stop;
        ScriptedLoader loader([](const ManifestRequest&, std::size_t) -> ManifestResponse { throw dropped(); });
        VirtualSleeper sleeper;
        sleeper.onSleep = [&](std::size_t index) {
            if (index == 1) stop.request_stop();
        };
        EXPECT_THROW(static_cast<void>(download(loader, sleeper, kURL, stop.get_token())), CancellationError);
        EXPECT_EQ(loader.requests().size(), 3u);
        EXPECT_EQ(sleeper.sleeps().size(), 2u);
    }
    // During the whole request, which then fails in transport: no ranged download.
    {
        std::stop_source stop;
        ScriptedLoader loader([&](const ManifestRequest&, std::size_t) -> ManifestResponse {
            stop.request_stop();
            throw dropped();
        });
        VirtualSleeper sleeper;
        EXPECT_THROW(static_cast<void>(download(loader, sleeper, kURL, stop.get_token())), CancellationError);
        EXPECT_EQ(loader.requests().size(), 1u);
    }
    // During a ranged request that then fails in range: no retry.
    {
        std::stop_source stop;
        ScriptedLoader loader([&](const ManifestRequest&, std::size_t index) -> ManifestResponse {
            if (index == 0) throw dropped();
            stop.request_stop();
            return response(200);
        });
        VirtualSleeper sleeper;
        EXPECT_THROW(static_cast<void>(download(loader, sleeper, kURL, stop.get_token())), CancellationError);
        EXPECT_EQ(loader.requests().size(), 2u);
        EXPECT_TRUE(sleeper.sleeps().empty());
    }
    // Before the start: nothing is requested.
    {
        std::stop_source stop;
        stop.request_stop();
        ScriptedLoader loader([](const ManifestRequest&, std::size_t) { return response(200); });
        VirtualSleeper sleeper;
        EXPECT_THROW(static_cast<void>(download(loader, sleeper, kURL, stop.get_token())), CancellationError);
        EXPECT_TRUE(loader.requests().empty());
    }
    // The loader's own cancellation passes through.
    {
        ScriptedLoader loader([](const ManifestRequest&, std::size_t) -> ManifestResponse {
            throw CancellationError();
        });
        VirtualSleeper sleeper;
        EXPECT_THROW(static_cast<void>(download(loader, sleeper)), CancellationError);
    }
}

TEST(SignedRouteListDownload, RangesResumeWithTheValidatorAndShrinkUnderRepeatedFailure) {
    const std::string list = content(3'000);
    ScriptedLoader loader([&](const ManifestRequest& request, std::size_t index) -> ManifestResponse {
        if (index == 0 || index == 2 || index == 3) throw dropped();
        return servedRange(request, list, {{"ETag", "e"}});
    });
    VirtualSleeper sleeper;
    EXPECT_EQ(download(loader, sleeper), (Parser::SignedRouteList{list, 200}));
    EXPECT_EQ(loader.ranges(),
              (std::vector<std::string>{"", "bytes=0-1023", "bytes=1024-2047", "bytes=1024-2047", "bytes=1024-1535",
                                        "bytes=1536-2047", "bytes=2048-2559", "bytes=2560-2999"}));
    EXPECT_EQ(sleeper.sleeps(), (std::vector<std::chrono::nanoseconds>{1s, 2s}));
    EXPECT_EQ(ScriptedLoader::headerOf(loader.requests()[1], "If-Range"), std::nullopt);
    for (std::size_t index = 2; index < loader.requests().size(); ++index) {
        EXPECT_EQ(ScriptedLoader::headerOf(loader.requests()[index], "If-Range"), "e") << index;
        EXPECT_EQ(loader.requests()[index].headers.back(), (ManifestHeaderField{"If-Range", "e"}));
    }
}

TEST(SignedRouteListDownload, AChunkThatKeepsFailingEndsTheDownloadWithItsError) {
    const std::string list = content(2'000);
    ScriptedLoader loader([&](const ManifestRequest& request, std::size_t index) -> ManifestResponse {
        if (index == 0 || index >= 2) throw ManifestTransportError("timed out " + std::to_string(index));
        return servedRange(request, list);
    });
    VirtualSleeper sleeper;
    const auto failure = failureOfDownload(loader, sleeper);
    EXPECT_EQ(failure.primaryFailure().description(), "timed out 0");
    const auto* last = std::get_if<ManifestTransportError>(&failure.rangeFailure());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->description(), "timed out 6");
    // The retry's range is capped at the known total.
    EXPECT_EQ(loader.ranges(), (std::vector<std::string>{"", "bytes=0-1023", "bytes=1024-1999", "bytes=1024-1999",
                                                         "bytes=1024-1535", "bytes=1024-1535", "bytes=1024-1279"}));
}

TEST(SignedRouteListDownload, AListThatChangesBetweenRangesFailsAtOnce) {
    const std::string list = content(3'000);
    struct Case {
        std::string name;
        std::function<std::vector<ManifestHeaderField>(std::size_t index)> headers;
        std::function<std::string(std::size_t index)> content;
    };
    const std::string longer = content(3'001);
    for (const auto& [name, headers, served] : std::vector<Case>{
             {"ETag",
              [](std::size_t index) {
                  return std::vector<ManifestHeaderField>{{"ETag", index == 1 ? "e1" : "e2"}};
              },
              [&](std::size_t) { return list; }},
             {"ETag then Last-Modified",
              [](std::size_t index) {
                  return index == 1 ? std::vector<ManifestHeaderField>{{"ETag", "e1"}}
                                    : std::vector<ManifestHeaderField>{{"Last-Modified", "L"}};
              },
              [&](std::size_t) { return list; }},
             {"total", [](std::size_t) { return std::vector<ManifestHeaderField>{}; },
              [&](std::size_t index) { return index == 1 ? list : longer; }},
         }) {
        ScriptedLoader loader([&](const ManifestRequest& request, std::size_t index) -> ManifestResponse {
            if (index == 0) throw dropped();
            return servedRange(request, served(index), headers(index));
        });
        VirtualSleeper sleeper;
        const auto failure = failureOfDownload(loader, sleeper);
        EXPECT_EQ(rangeFailureCase(failure), DownloadCase::changedDuringDownload) << name;
        EXPECT_EQ(loader.requests().size(), 3u) << name;
        EXPECT_TRUE(sleeper.sleeps().empty()) << name;
    }
}

TEST(SignedRouteListDownload, TheValidatorOfTheFirstRangeIsKept) {
    const std::string list = content(2'500);
    struct Case {
        std::string name;
        std::vector<ManifestHeaderField> firstHeaders;
        std::vector<ManifestHeaderField> laterHeaders;
        std::optional<std::string> ifRange;
    };
    for (const auto& [name, firstHeaders, laterHeaders, ifRange] : std::vector<Case>{
             {"weak ETag",
              {{"ETag", "W/\"w\""}, {"Last-Modified", "L"}},
              {{"ETag", "W/\"v\""}, {"Last-Modified", "L"}},
              "L"},
             {"strong ETag", {{"ETag", " \"s\" "}, {"Last-Modified", "L"}}, {{"ETag", "\"s\""}}, "\"s\""},
             {"none at first", {}, {{"ETag", "late"}}, std::nullopt},
             {"later without one", {{"ETag", "e"}}, {}, "e"},
         }) {
        ScriptedLoader loader([&](const ManifestRequest& request, std::size_t index) -> ManifestResponse {
            if (index == 0) throw dropped();
            return servedRange(request, list, index == 1 ? firstHeaders : laterHeaders);
        });
        VirtualSleeper sleeper;
        EXPECT_EQ(download(loader, sleeper).body, list) << name;
        ASSERT_EQ(loader.requests().size(), 4u) << name;
        for (std::size_t index = 2; index < 4; ++index) {
            EXPECT_EQ(ScriptedLoader::headerOf(loader.requests()[index], "If-Range"), ifRange) << name;
        }
    }
}

TEST(SignedRouteListDownload, RangedAnswersThatAreNotTheRangeAskedFor) {
    const std::string first = content(1'024);
    using Answer = std::function<ManifestResponse()>;
    const auto ranged = [&](std::string contentRange, std::string body, std::vector<ManifestHeaderField> more = {}) {
        more.push_back({"Content-Range", std::move(contentRange)});
        return response(206, std::move(more), std::move(body));
    };
    struct Case {
        std::string name;
        Answer answer;
    };
    for (const auto& [name, answer] : std::vector<Case>{
             {"total unknown", [&] { return ranged("bytes 0-1023/*", first); }},
             {"total over 256 KiB", [&] { return ranged("bytes 0-1023/262145", first); }},
             {"gzip", [&] { return ranged("bytes 0-1023/3000", first, {{"Content-Encoding", "gzip"}}); }},
             {"status 200", [&] { return response(200, {{"Content-Range", "bytes 0-1023/3000"}}, first); }},
             {"no Content-Range", [&] { return response(206, {}, first); }},
             {"another start", [&] { return ranged("bytes 1-1024/3000", first); }},
             {"shorter than asked", [&] { return ranged("bytes 0-99/3000", first.substr(0, 100)); }},
             {"longer than asked", [&] { return ranged("bytes 0-1024/3000", first + "x"); }},
             {"body shorter than its range", [&] { return ranged("bytes 0-1023/3000", first.substr(1)); }},
             {"body longer than its range",
              [&] {
                  ManifestResponse answer = ranged("bytes 0-1023/3000", first + "x");
                  answer.bodyOverLimit = true;
                  return answer;
              }},
             {"end past the total", [&] { return ranged("bytes 0-1023/1000", first); }},
         }) {
        ScriptedLoader loader([&](const ManifestRequest&, std::size_t index) -> ManifestResponse {
            if (index == 0) throw dropped();
            return answer();
        });
        VirtualSleeper sleeper;
        const auto failure = failureOfDownload(loader, sleeper);
        EXPECT_EQ(rangeFailureCase(failure), DownloadCase::invalidRange) << name;
        EXPECT_EQ(loader.requests().size(), 6u) << name;
        EXPECT_EQ(sleeper.sleeps().size(), 4u) << name;
    }
}

TEST(SignedRouteListDownload, RangedListsOfTheEdgeSizes) {
    for (const std::size_t size : {1u, 100u, 1'024u, 1'025u, 262'144u}) {
        const std::string list = content(size);
        ScriptedLoader loader([&](const ManifestRequest& request, std::size_t index) -> ManifestResponse {
            if (index == 0) throw dropped();
            return servedRange(request, list, {{"Content-Encoding", " Identity "}});
        });
        VirtualSleeper sleeper;
        EXPECT_EQ(download(loader, sleeper), (Parser::SignedRouteList{list, 200})) << size;
        // One chunk of 1 KiB and then as many more as the list needs.
        EXPECT_EQ(loader.requests().size(), 1 + (size + 1'023) / 1'024) << size;
        EXPECT_TRUE(sleeper.sleeps().empty()) << size;
    }
}

TEST(SignedRouteListDownload, OnlyHttpAndHttpsAreLoaded) {
    for (const std::string url : {"file:///etc/hostname", "ftp://h.example/sub/m/T.json", "https:///sub/m/T.json",
                                  "/sub/m/T.json", "not a url"}) {
        ScriptedLoader loader([](const ManifestRequest&, std::size_t) { return response(200, {}, "x"); });
        VirtualSleeper sleeper;
        EXPECT_EQ(failureOf([&] { static_cast<void>(download(loader, sleeper, url)); }),
                  "The signed route list returned an invalid response.")
            << url;
        EXPECT_TRUE(loader.requests().empty()) << url;
    }
    ScriptedLoader loader([](const ManifestRequest&, std::size_t) { return response(200, {}, "x"); });
    VirtualSleeper sleeper;
    EXPECT_EQ(download(loader, sleeper, "HTTP://127.0.0.1:8080/sub/m/T.json").body, "x");
}

TEST(SignedRouteListDownload, AnotherLoaderErrorEndsTheDownloadUnchanged) {
    ScriptedLoader loader([](const ManifestRequest&, std::size_t) -> ManifestResponse {
        throw std::logic_error("not a transport failure");
    });
    VirtualSleeper sleeper;
    EXPECT_THROW(static_cast<void>(download(loader, sleeper)), std::logic_error);
    EXPECT_EQ(loader.requests().size(), 1u);
}

TEST(SignedRouteListDownload, ResponseHeaderChecks) {
    const auto withHeaders = [](std::vector<ManifestHeaderField> headers) { return response(206, std::move(headers)); };

    struct RangeCase {
        std::string value;
        std::optional<Parser::ContentRange> range;
    };
    for (const auto& [value, range] : std::vector<RangeCase>{
             {"bytes 0-1023/3000", Parser::ContentRange{0, 1023, 3000}},
             {"BYTES 5-4/3", Parser::ContentRange{5, 4, 3}},
             {"bytes 0-0/9223372036854775807", Parser::ContentRange{0, 0, INT64_MAX}},
             {"bytes 0-0/9223372036854775808", std::nullopt},
             {"bytes 0-1023/*", std::nullopt},
             {"bytes */3000", std::nullopt},
             {"bytes  0-1/2", std::nullopt},
             {"bytes 0-1/2 ", std::nullopt},
             {"bytes 0-1/2\n", std::nullopt},
             {"bytes -1-1/2", std::nullopt},
             {"bytes 0-1/+2", std::nullopt},
             {"items 0-1/2", std::nullopt},
             {"bytes=0-1/2", std::nullopt},
             {"", std::nullopt},
         }) {
        EXPECT_EQ(Parser::contentRange(withHeaders({{"content-range", value}})), range) << value;
    }
    EXPECT_EQ(Parser::contentRange(withHeaders({})), std::nullopt);

    struct ValidatorCase {
        std::vector<ManifestHeaderField> headers;
        std::optional<std::string> validator;
    };
    for (const auto& [headers, validator] : std::vector<ValidatorCase>{
             {{{"ETag", " \"a\" "}, {"Last-Modified", "L"}}, "\"a\""},
             {{{"ETag", "W/\"a\""}, {"Last-Modified", " L "}}, "L"},
             {{{"ETag", "w/\"a\""}}, "w/\"a\""},
             {{{"ETag", " "}, {"Last-Modified", ""}}, std::nullopt},
             {{{"last-modified", "L"}}, "L"},
             {{}, std::nullopt},
         }) {
        EXPECT_EQ(Parser::validator(withHeaders(headers)), validator);
    }

    struct EncodingCase {
        std::vector<ManifestHeaderField> headers;
        bool identity;
    };
    for (const auto& [headers, identity] : std::vector<EncodingCase>{
             {{}, true},
             {{{"Content-Encoding", ""}}, true},
             {{{"Content-Encoding", "  "}}, true},
             {{{"content-encoding", "IDENTITY"}}, true},
             {{{"Content-Encoding", "gzip"}}, false},
             {{{"Content-Encoding", "identity, gzip"}}, false},
             {{{"Content-Encoding", "identity"}, {"Content-Encoding", "gzip"}}, false},
         }) {
        EXPECT_EQ(Parser::hasIdentityEncoding(withHeaders(headers)), identity);
    }

    EXPECT_TRUE(Parser::isTransientNetworkError(dropped()));
    EXPECT_FALSE(Parser::isTransientNetworkError(CancellationError()));
    EXPECT_FALSE(Parser::isTransientNetworkError(AdaptiveManifestDownloadError(DownloadCase::invalidRange)));
}

TEST(AdaptiveManifestDownloadError, CasesCarryTheirFixedMessages) {
    const std::vector<std::pair<DownloadCase, std::string>> cases = {
        {DownloadCase::invalidResponse, "The signed route list returned an invalid response."},
        {DownloadCase::unexpectedlyLarge, "The signed route list is unexpectedly large."},
        {DownloadCase::invalidRange, "The signed route list returned an invalid byte range."},
        {DownloadCase::changedDuringDownload, "The signed route list changed during download."},
        {DownloadCase::incompleteRange, "The signed route list could not be reassembled completely."},
    };
    for (const auto& [errorCase, message] : cases) {
        const AdaptiveManifestDownloadError error(errorCase);
        EXPECT_EQ(error.message(), message);
        EXPECT_EQ(error.typeName(), "TarnelDirect.AdaptiveManifestDownloadError");
    }
}

}  // namespace
}  // namespace tarnel
