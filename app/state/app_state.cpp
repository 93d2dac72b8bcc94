#include "app/state/app_state.hpp"

#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <exception>
#include <utility>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/catalog/unicode_text.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "common/base/error.hpp"
#include "common/base/iso8601.hpp"

namespace tarnel {

namespace {

constexpr std::string_view kSecureStorageMigrationNotice =
    "Secure storage migration did not finish. Existing access remains available; re-import the link before "
    "removing the app.";
constexpr std::string_view kRollbackProtectionMigrationNotice =
    "Rollback protection migration did not finish. Re-import the access link before removing the app.";
constexpr std::string_view kRollbackContentNotice =
    "Rollback content state is invalid. Refresh the subscription before connecting.";
constexpr std::string_view kSelectedRouteOnlyDiagnosticLine =
    "\nSelected-route-only diagnostic mode is active with a 30-second traffic gate.";

SignedTransportManifestError invalidManifest() {
    return SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
}

// The record with the floor of a revision saved before floors had an
// identity: the identity of the record's link (its source, else its
// subscription). Nothing when the revision is negative, the record has a
// floor revision already, or the link has no floor identity.
std::optional<DirectStoredAccess> withLegacyRevision(const DirectStoredAccess& record, std::int64_t revision) {
    if (revision < 0 || record.manifestFloorRevision) return std::nullopt;
    auto identity =
        SubscriptionImportParser::floorIdentity(record.source.empty() ? record.subscription : record.source);
    if (!identity) return std::nullopt;
    DirectStoredAccess migrated = record;
    migrated.manifestFloorIdentity = std::move(identity);
    migrated.manifestFloorRevision = revision;
    migrated.manifestFloorLegacySHA256.reset();
    migrated.manifestFloorCompactV2SHA256.reset();
    return migrated;
}

// The record's content floor: none without hashes; a revision needs a legacy
// hash for a compact one, and both must be valid. Throws
// SignedTransportManifestError(invalidManifest) otherwise.
std::optional<ManifestContentFloor> contentFloorOf(const DirectStoredAccess& record) {
    const auto& revision = record.manifestFloorRevision;
    const auto& legacy = record.manifestFloorLegacySHA256;
    const auto& compact = record.manifestFloorCompactV2SHA256;
    if (!revision) {
        if (!legacy && !compact) return std::nullopt;
        throw invalidManifest();
    }
    if (*revision < 0) throw invalidManifest();
    if (legacy) return ManifestContentFloor::validated(*revision, *legacy, compact);
    if (!compact) return std::nullopt;
    throw invalidManifest();
}

// The access link of a text once trimmed, as the access field is read.
std::optional<std::string> accessLinkOf(std::string_view text) {
    return AppState::accessLinkURL(unicode::trimmingWhitespaceAndNewlines(text));
}

}  // namespace

AppState::AppState(AppEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), tasks_(environment_.pool, environment_.sleeper) {
    runStartup();
}

AppState::~AppState() { tasks_.abandon(); }

void AppState::assertOnMainThread() const { Q_ASSERT(QThread::currentThread() == thread()); }

// ----- Published fields -----

void AppState::setSubscriptionInput(std::string value) {
    publish(subscriptionInput_, std::move(value), &AppState::subscriptionInputChanged);
}
void AppState::setRoutes(std::vector<RouteNode> value) {
    publish(routes_, std::move(value), &AppState::routesChanged);
}
void AppState::setRouteCatalog(std::vector<RouteCatalogItem> value) {
    publish(routeCatalog_, std::move(value), &AppState::routeCatalogChanged);
}
void AppState::setRouteAvailability(RouteAvailabilityMap value) {
    publish(routeAvailability_, std::move(value), &AppState::routeAvailabilityChanged);
}
void AppState::setSelectedRouteID(std::optional<std::string> value) {
    publish(selectedRouteID_, std::move(value), &AppState::selectedRouteIDChanged);
}
void AppState::setTunnelStatus(TunnelStatus value) { publish(tunnelStatus_, value, &AppState::tunnelStatusChanged); }
void AppState::setConnectionMode(ConnectionMode value) {
    publish(connectionMode_, value, &AppState::connectionModeChanged);
}
void AppState::setManageSystemProxy(bool value) {
    publish(manageSystemProxy_, value, &AppState::manageSystemProxyChanged);
}
void AppState::setSystemProxyService(std::string value) {
    publish(systemProxyService_, std::move(value), &AppState::systemProxyServiceChanged);
}
void AppState::setSystemProxyEnabled(bool value) {
    publish(systemProxyEnabled_, value, &AppState::systemProxyEnabledChanged);
}
void AppState::setIsImporting(bool value) { publish(isImporting_, value, &AppState::isImportingChanged); }
void AppState::setIsOpeningAccount(bool value) {
    publish(isOpeningAccount_, value, &AppState::isOpeningAccountChanged);
}
void AppState::setAccountPortalURL(std::optional<std::string> value) {
    publish(accountPortalURL_, std::move(value), &AppState::accountPortalURLChanged);
}
void AppState::setAccountMessage(std::string value) {
    publish(accountMessage_, std::move(value), &AppState::accountMessageChanged);
}
void AppState::setConnectionNotice(std::string value) {
    publish(connectionNotice_, std::move(value), &AppState::connectionNoticeChanged);
}
void AppState::setRouteTestProgress(std::optional<RouteTestProgress> value) {
    publish(routeTestProgress_, std::move(value), &AppState::routeTestProgressChanged);
}

void AppState::appendToLog(std::string_view text) {
    assertOnMainThread();
    diagnosticLog_ += text;
    emit diagnosticLogChanged();
}

void AppState::appendLog(std::string_view message) {
    std::string line = "\n[" + iso8601::format(environment_.clock->wallSeconds()) + "] ";
    line += message;
    appendToLog(line);
}

// ----- Tasks -----

void AppState::replaceTask(TaskSlot& slot, AppTaskBody body) {
    assertOnMainThread();
    // The host runs the body only while this state exists.
    tasks_.replace(slot,
                   [this, body = std::move(body)](std::stop_token stop) { return body(*this, std::move(stop)); });
}

void AppState::startTask(AppTaskBody body) {
    assertOnMainThread();
    tasks_.start([this, body = std::move(body)](std::stop_token stop) { return body(*this, std::move(stop)); });
}

// ----- Start-up -----

void AppState::runStartup() {
    Settings& settings = *environment_.settings;

    // Step 1: the fields hold their initial values; the launch argument.
    selectedRouteOnlyDiagnostic =
        std::ranges::find(environment_.arguments, selectedRouteOnlyDiagnosticArgument) != environment_.arguments.end();
    const bool underTestHost =
        environment_.environmentVariable && environment_.environmentVariable(testHostVariable).has_value();

    // Step 2: the legacy settings form the provisional record.
    DirectStoredAccess record;
    record.subscription = settings.string(savedSubscriptionKey).value_or("");
    record.source = settings.string(savedSubscriptionSourceKey).value_or("");
    record.cache = settings.string(savedSubscriptionCacheKey).value_or("");

    // Steps 3 and 4.
    std::optional<std::string> notice = migrateStoredAccess(record, underTestHost);

    // Steps 5 to 7: the floor and the format in memory.
    subscriptionOrigins = record.subscriptionOrigins;
    manifestFloorIdentity = record.manifestFloorIdentity;
    manifestFloorRevision = record.manifestFloorRevision;
    try {
        manifestContentFloor = contentFloorOf(record);
    } catch (const std::exception&) {
        manifestContentFloor.reset();
        notice = notice ? *notice + " " + std::string(kRollbackContentNotice) : std::string(kRollbackContentNotice);
    }
    subscriptionManifestFormat = record.manifestFormat;

    // Steps 8 to 11: the access field, the saved selection and active route;
    // availability never survives a restart.
    setSubscriptionInput(!record.source.empty() ? record.source : record.subscription);
    setSelectedRouteID(settings.string(savedRouteIDKey));
    automaticCrossNodeSelection = settings.boolean(savedAutomaticCrossNodeSelectionKey);
    publish(activeRouteID_, settings.string(savedActiveRouteIDKey), &AppState::activeRouteIDChanged);
    settings.remove(savedRouteAvailabilityKey);

    // Step 12: the cached body, or a pasted body kept as the subscription.
    std::string_view cached = record.cache;
    if (cached.empty() && !accessLinkOf(record.subscription)) cached = record.subscription;
    const std::string restored = unicode::trimmingWhitespaceAndNewlines(cached);
    if (!restored.empty()) restoreCachedSubscription(restored, accessLinkOf(subscriptionInput_));

    // Steps 13 and 14: the notices, without time stamps.
    if (notice) appendToLog("\n" + *notice);
    if (selectedRouteOnlyDiagnostic) appendToLog(kSelectedRouteOnlyDiagnosticLine);

    // Steps 15 and 16, independent of each other.
    if (hasAccessLink()) {
        startTask([](AppState& state, std::stop_token) -> QCoro::Task<> {
            state.importSubscription(true, true);
            co_return;
        });
    }
    if (underTestHost) {
        setActiveRouteID(std::nullopt);
    } else if (environment_.launchRecovery) {
        startTask(environment_.launchRecovery);
    }
}

std::optional<std::string> AppState::migrateStoredAccess(DirectStoredAccess& record, bool underTestHost) {
    Settings& settings = *environment_.settings;
    std::optional<std::string> notice;

    // A test host's keychain is never touched: the legacy values stay in use.
    if (!underTestHost) {
        try {
            if (auto stored = DirectSecureSubscriptionStore::load(*environment_.keychain)) {
                record = std::move(*stored);
                removeLegacySubscriptionKeys();
            } else if (!record.subscription.empty() || !record.source.empty() || !record.cache.empty()) {
                DirectSecureSubscriptionStore::save(*environment_.keychain, encodeDirectStoredAccess(record));
                removeLegacySubscriptionKeys();
            }
        } catch (const std::exception&) {
            notice = kSecureStorageMigrationNotice;
        }
    }

    if (settings.contains(savedManifestRevisionKey)) {
        if (auto migrated = withLegacyRevision(record, settings.integer(savedManifestRevisionKey))) {
            if (!underTestHost) {
                try {
                    DirectSecureSubscriptionStore::save(*environment_.keychain, encodeDirectStoredAccess(*migrated));
                    settings.remove(savedManifestRevisionKey);
                } catch (const std::exception&) {
                    notice = kRollbackProtectionMigrationNotice;
                }
            }
            record = std::move(*migrated);
        }
    }
    return notice;
}

void AppState::removeLegacySubscriptionKeys() {
    Settings& settings = *environment_.settings;
    for (const std::string_view key : {savedSubscriptionKey, savedSubscriptionSourceKey, savedSubscriptionCacheKey}) {
        settings.remove(key);
    }
}

// ----- The cached subscription and its floor -----

void AppState::restoreCachedSubscription(std::string_view text, const std::optional<std::string>& sourceURL) {
    try {
        const auto savedFloor =
            SubscriptionImportParser::savedFloor(sourceURL, manifestFloorIdentity, manifestFloorRevision);
        const auto enforcedFloor = enforcedContentFloor(sourceURL);
        auto parsed = SubscriptionImportParser::parse(
            text, environment_.trustRootSPKI,
            savedFloor ? std::optional<std::int64_t>(savedFloor->revision) : std::nullopt, enforcedFloor,
            *environment_.clock);
        if (savedFloor) {
            // The held floor's subscription must still be a signed one.
            if (!parsed.manifestRevision || !parsed.manifestContentFloor) throw invalidManifest();
            manifestContentFloor = parsed.manifestContentFloor;
        }
        pruneRouteAvailability(parsed.routes);
        setRoutes(std::move(parsed.routes));
        setRouteCatalog(std::move(parsed.catalog));
        subscriptionServiceClass = std::move(parsed.serviceClass);
        if (parsed.subscriptionOrigins) subscriptionOrigins = std::move(parsed.subscriptionOrigins);
        if (parsed.manifestFormat) subscriptionManifestFormat = parsed.manifestFormat;
        const bool selectionKept =
            selectedRouteID_ && std::ranges::find(routes_, *selectedRouteID_, &RouteNode::id) != routes_.end();
        if (!selectionKept) setSelectedRouteID(preferredDefaultRouteID(routes_));
        appendToLog("\nLoaded " + std::to_string(routes_.size()) + " cached route(s).");
    } catch (const std::exception& error) {
        appendToLog("\nCached subscription rejected: " + errorMessage(error));
    }
}

std::optional<ManifestContentFloor> AppState::enforcedContentFloor(const std::optional<std::string>& sourceURL) const {
    const auto savedFloor =
        SubscriptionImportParser::savedFloor(sourceURL, manifestFloorIdentity, manifestFloorRevision);
    if (!savedFloor || !manifestContentFloor) return std::nullopt;
    if (savedFloor->revision != manifestContentFloor->revision()) throw invalidManifest();
    return manifestContentFloor;
}

void AppState::pruneRouteAvailability(std::span<const RouteNode> newRoutes) {
    // By identifier, the later of two routes with one identifier winning.
    const auto byID = [](std::span<const RouteNode> routes) {
        std::map<std::string_view, const RouteNode*> index;
        for (const RouteNode& route : routes) index[route.id] = &route;
        return index;
    };
    const auto current = byID(routes_);
    const auto next = byID(newRoutes);
    RouteAvailabilityMap kept;
    for (const auto& [id, availability] : routeAvailability_) {
        const auto before = current.find(id);
        const auto after = next.find(id);
        if (before != current.end() && after != next.end() && *before->second == *after->second) {
            kept.emplace(id, availability);
        }
    }
    setRouteAvailability(std::move(kept));
}

// ----- Connection helpers -----

void AppState::setRouteAvailability(RouteAvailability availability, const std::string& routeID) {
    RouteAvailabilityMap updated = routeAvailability_;
    updated.insert_or_assign(routeID, availability);
    ++routeAvailabilityGeneration[routeID];
    setRouteAvailability(std::move(updated));
}

void AppState::setActiveRouteID(std::optional<std::string> routeID) {
    Settings& settings = *environment_.settings;
    if (routeID) {
        settings.set(savedActiveRouteIDKey, *routeID);
    } else {
        settings.remove(savedActiveRouteIDKey);
    }
    publish(activeRouteID_, std::move(routeID), &AppState::activeRouteIDChanged);
}

std::optional<std::string> AppState::preferredDefaultRouteID(std::span<const RouteNode> routes) {
    if (routes.empty()) return std::nullopt;
    const RouteNode* firstRomanian = nullptr;
    for (const RouteNode& route : routes) {
        if (route.regionCode() != "RO") continue;
        if (route.transport == RouteTransport::hysteria2) return route.id;
        if (firstRomanian == nullptr) firstRomanian = &route;
    }
    return firstRomanian != nullptr ? firstRomanian->id : routes.front().id;
}

QCoro::Task<bool> AppState::isTunnelProtectionActive() {
    // Asked apart from the caller's task: its stop does not end the question.
    auto question = onPool([helper = environment_.helper] { return helper->tunnelProtectionStatus(2.0); });
    co_return co_await question;
}

QCoro::Task<std::optional<std::string>> AppState::runCompatibilityPreflight(Uuid attemptID, std::stop_token stop) {
    const double deadlineUptime = environment_.clock->uptime() + 12.0;
    auto preflight = onPool([snapshot = environment_.tailscaleSnapshot, attemptID, deadlineUptime, stop] {
        return snapshot(attemptID, deadlineUptime, stop);
    });
    co_return co_await preflight;
}

void AppState::finishRouteTestSession() {
    if (routeTestSessionID) routeTestCompatibility.store(std::nullopt, *routeTestSessionID);
    routeTestSessionID.reset();
    routeTestTask.reset();
    setRouteTestProgress(std::nullopt);
}

}  // namespace tarnel
