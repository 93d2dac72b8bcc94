// The subscription's import and update, its forget, and the configuration
// file written on demand.

#include <algorithm>
#include <filesystem>
#include <span>
#include <utility>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/catalog/unicode_text.hpp"
#include "app/state/app_state.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "app/state/subscription_import_commit_error.hpp"
#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/error.hpp"

namespace tarnel {

namespace {

SignedTransportManifestError invalidManifest() {
    return SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
}

// What the pool's part of an import gives: the routes and what comes with
// them, and the text to cache.
struct ParsedSubscription {
    SubscriptionImportParser::ParsedRoutes parsed;
    std::string cache;
};

// The routes of the signed route lists a fetch accepted; the chosen list's
// body is the text to cache.
ParsedSubscription parsedSignedLists(std::span<const std::string> texts, const std::optional<std::string>& trustRoot,
                                     const SubscriptionFetchRequest& request, const Clock& clock) {
    auto signedList = SubscriptionImportParser::parseSignedManifest(texts, trustRoot, request.savedRevision,
                                                                    request.savedFloor, clock);
    return {{std::move(signedList.routes), std::move(signedList.catalog), signedList.revision,
             std::move(signedList.serviceClass), std::move(signedList.subscriptionOrigins), signedList.format,
             std::move(signedList.contentFloor), signedList.skippedOptional},
            std::move(signedList.body)};
}

// A body read as it is, without a floor: a signed route list only counts
// through its link, so a pasted one is refused.
ParsedSubscription parsedBody(std::string body, const std::optional<std::string>& trustRoot, const Clock& clock,
                              bool pasted) {
    if (pasted && SubscriptionImportParser::isSignedEnvelope(body)) throw invalidManifest();
    auto parsed = SubscriptionImportParser::parse(body, trustRoot, std::nullopt, std::nullopt, clock);
    return {std::move(parsed), std::move(body)};
}

}  // namespace

struct AppState::ImportedSubscription {
    // The trimmed access field, and its access link (none for a body).
    std::string text;
    std::optional<std::string> sourceURL;
    // The held floor, when it is this subscription's.
    std::optional<SubscriptionImportParser::Floor> savedFloor;
    ParsedSubscription result;
    // The floor to keep: all three, or none of them.
    std::optional<std::string> identity;
    std::optional<std::int64_t> revision;
    std::optional<ManifestContentFloor> contentFloor;
    std::vector<std::string> origins;
    // importEpoch_ when the import began.
    std::uint64_t epoch = 0;
};

void AppState::importSubscription(bool quietly, bool isUpdate) {
    std::string text = unicode::trimmingWhitespaceAndNewlines(subscriptionInput_);
    if (text.empty()) {
        if (!quietly) appendLog("Import failed: paste your access link or subscription body first.");
        return;
    }
    if (isImporting_) return;
    setIsImporting(true);
    if (!quietly) appendLog(isUpdate ? "Updating subscription..." : "Importing subscription...");
    // Never cancelled: its stop comes only once this state is gone.
    startTask([text = std::move(text), quietly, isUpdate, epoch = importEpoch_](AppState& state, std::stop_token stop) {
        return state.runImportPipeline(text, quietly, isUpdate, epoch, std::move(stop));
    });
}

QCoro::Task<> AppState::runImportPipeline(std::string text, bool quietly, bool isUpdate, std::uint64_t epoch,
                                          std::stop_token stop) {
    try {
        ImportedSubscription imported;
        imported.epoch = epoch;
        imported.sourceURL = accessLinkURL(text);
        imported.savedFloor =
            SubscriptionImportParser::savedFloor(imported.sourceURL, manifestFloorIdentity, manifestFloorRevision);
        const std::optional<ManifestContentFloor> enforcedFloor = enforcedContentFloor(imported.sourceURL);
        const std::vector<std::string> permittedOrigins =
            imported.savedFloor ? subscriptionOrigins.value_or(std::vector<std::string>{}) : std::vector<std::string>{};

        // The fetch and the parsers run on the pool, over copies of what they read.
        std::optional<SubscriptionFetchRequest> request;
        if (imported.sourceURL) {
            const bool signedOnly = imported.savedFloor.has_value() ||
                                    SubscriptionImportParser::signedManifestURL(*imported.sourceURL, false).has_value();
            request = SubscriptionFetchRequest{*imported.sourceURL, signedOnly, permittedOrigins,
                                               imported.savedFloor ? std::optional(imported.savedFloor->revision)
                                                                   : std::nullopt,
                                               enforcedFloor};
        }
        auto work = onPool([request, text, fetch = environment_.fetchSubscription,
                            trustRoot = environment_.trustRootSPKI, clock = environment_.clock, stop] {
            if (!request) return parsedBody(text, trustRoot, *clock, true);
            SubscriptionFetchResult fetched = fetch(*request, stop);
            if (!fetched.plain) return parsedSignedLists(fetched.texts, trustRoot, *request, *clock);
            if (fetched.texts.size() != 1) throw invalidManifest();
            return parsedBody(std::move(fetched.texts.front()), trustRoot, *clock, false);
        });
        imported.result = co_await work;
        imported.text = std::move(text);

        // The floor decision.
        const auto& parsed = imported.result.parsed;
        if (!parsed.manifestRevision) {
            // An update of a subscription whose floor is held needs a signed list.
            if (imported.savedFloor && isUpdate) throw invalidManifest();
        } else {
            if (!imported.sourceURL || !parsed.manifestContentFloor) throw invalidManifest();
            const auto savedRevision =
                imported.savedFloor ? std::optional(imported.savedFloor->revision) : std::nullopt;
            auto floor = SubscriptionImportParser::checkFloor(
                *imported.sourceURL, *parsed.manifestRevision,
                imported.savedFloor ? std::optional(imported.savedFloor->identity) : std::nullopt, savedRevision);
            imported.contentFloor = parsed.manifestContentFloor->advanced(savedRevision, enforcedFloor);
            imported.identity = std::move(floor.identity);
            imported.revision = floor.revision;
        }
        imported.origins = parsed.subscriptionOrigins.value_or(permittedOrigins);

        commitImportedSubscription(imported, quietly, isUpdate);
    } catch (const std::exception& error) {
        finishImportWithError(quietly, error);
    }
}

void AppState::commitImportedSubscription(const ImportedSubscription& imported, bool quietly, bool isUpdate) {
    if (imported.epoch != importEpoch_) {
        throw SubscriptionImportCommitError(SubscriptionImportCommitError::Case::forgottenDuringImport);
    }
    const auto& parsed = imported.result.parsed;

    // The route to select: the current one while it stays, unless it was
    // chosen by a failover and the subscription changed or moved on.
    const bool sameSubscription =
        imported.savedFloor && imported.identity && imported.savedFloor->identity == *imported.identity;
    const bool keepPath = !automaticCrossNodeSelection ||
                          (sameSubscription && imported.revision && *imported.revision <= imported.savedFloor->revision);
    std::optional<std::string> chosen;
    if (keepPath && selectedRouteID_ && std::ranges::find(parsed.routes, *selectedRouteID_, &RouteNode::id) !=
                                            parsed.routes.end()) {
        chosen = selectedRouteID_;
    } else {
        chosen = preferredDefaultRouteID(parsed.routes);
    }

    // The record first: when the keychain refuses it, nothing has changed.
    DirectStoredAccess record;
    record.subscription = imported.sourceURL.value_or(imported.text);
    record.source = imported.sourceURL.value_or("");
    record.cache = imported.result.cache;
    record.subscriptionOrigins = imported.origins;
    record.manifestFloorIdentity = imported.identity;
    record.manifestFloorRevision = imported.revision;
    if (imported.contentFloor) {
        record.manifestFloorLegacySHA256 = imported.contentFloor->legacySHA256();
        record.manifestFloorCompactV2SHA256 = imported.contentFloor->compactV2SHA256();
    }
    record.manifestFormat = parsed.manifestFormat;
    DirectSecureSubscriptionStore::save(*environment_.keychain, encodeDirectStoredAccess(record));

    Settings& settings = *environment_.settings;
    removeLegacySubscriptionKeys();
    if (chosen) settings.set(savedRouteIDKey, *chosen);
    settings.remove(savedManifestRevisionKey);

    pruneRouteAvailability(parsed.routes);
    setRoutes(parsed.routes);
    setRouteCatalog(parsed.catalog);
    subscriptionServiceClass = parsed.serviceClass;
    subscriptionOrigins = imported.origins;
    manifestFloorIdentity = imported.identity;
    manifestFloorRevision = imported.revision;
    manifestContentFloor = imported.contentFloor;
    subscriptionManifestFormat = parsed.manifestFormat;

    automaticCrossNodeSelection = sameSubscription && keepPath && automaticCrossNodeSelection;
    settings.set(savedAutomaticCrossNodeSelectionKey, automaticCrossNodeSelection);
    setSelectedRouteID(std::move(chosen));
    if (imported.sourceURL) setSubscriptionInput(*imported.sourceURL);
    setIsImporting(false);

    if (quietly) return;
    const RouteNode* selected = selectedRoute();
    appendLog(std::string(isUpdate ? "Updated " : "Imported ") + std::to_string(routes_.size()) +
              " route(s). Selected " + (selected != nullptr ? selected->diagnosticDescription() : "No selected route.") +
              ".");
}

void AppState::finishImportWithError(bool quietly, const std::exception& error) {
    setIsImporting(false);
    appendLog(std::string(quietly ? "Background update failed: " : "Import failed: ") + errorMessage(error));
}

void AppState::forgetSavedSubscription() {
    // An engaged connection stops before its subscription goes; one that
    // does not stop keeps everything in place.
    if (isConnectionEngaged()) {
        disconnect();
        if (isConnectionEngaged()) {
            appendLog("Subscription was not forgotten because the active VPN process did not stop.");
            return;
        }
    }

    try {
        DirectSecureSubscriptionStore::remove(*environment_.keychain);
    } catch (const std::exception&) {
        appendLog("Saved access was not removed because secure storage is unavailable.");
        return;
    }

    // An import that began before this commits nothing.
    ++importEpoch_;
    setSubscriptionInput("");
    setRoutes({});
    setRouteCatalog({});
    subscriptionServiceClass.reset();
    subscriptionOrigins.reset();
    manifestFloorIdentity.reset();
    manifestFloorRevision.reset();
    manifestContentFloor.reset();
    subscriptionManifestFormat.reset();
    setRouteAvailability(RouteAvailabilityMap{});
    routeAvailabilityGeneration.clear();
    setSelectedRouteID(std::nullopt);
    // Its setting goes below: memory and settings keep agreeing.
    automaticCrossNodeSelection = false;

    Settings& settings = *environment_.settings;
    for (const std::string_view key :
         {savedSubscriptionKey, savedSubscriptionSourceKey, savedSubscriptionCacheKey, savedRouteIDKey,
          savedAutomaticCrossNodeSelectionKey, savedActiveRouteIDKey, savedManifestRevisionKey,
          savedRouteAvailabilityKey}) {
        settings.remove(key);
    }
    appendLog("Forgot saved subscription on this Mac.");
}

void AppState::writeRedactedConfig() {
    const RouteNode* route = selectedRoute();
    if (route == nullptr) {
        appendLog("No selected route.");
        return;
    }
    // Finding the default interface runs a tool for up to 2 s: not on the main thread.
    startTask([route = *route, mode = connectionMode_](AppState& state, std::stop_token) {
        return state.writeRouteConfiguration(route, mode);
    });
}

QCoro::Task<> AppState::writeRouteConfiguration(RouteNode route, ConnectionMode mode) {
    const bool proxy = mode == ConnectionMode::proxy;
    try {
        auto write = onPool([route, proxy, clock = environment_.clock] {
            return proxy ? TunnelRuntimeFiles::writeProxyConfiguration(route, *clock)
                         : TunnelRuntimeFiles::writeTunnelConfiguration(route, std::nullopt, *clock);
        });
        const std::filesystem::path path = co_await write;
        appendLog(std::string("Wrote redacted ") + (proxy ? "Proxy" : "VPN") + " config for " +
                  route.diagnosticDescription() + " to " + path.string() + ".");
    } catch (const std::exception& error) {
        appendLog("Config write failed: " + errorMessage(error));
    }
}

}  // namespace tarnel
