// tarnel-demo: walks one subscription through the parts of the system that run
// on this machine. It verifies a signed transport manifest against the root key
// of an application bundle's Info.plist, lists the catalog and the routes,
// writes the TUN and proxy configurations of one route and passes the TUN
// configuration through the validator the helper applies before it starts a
// tunnel.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/tunnel/sing_box_config.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/iso8601.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"

namespace {

struct Options {
    std::filesystem::path infoPlist;
    std::filesystem::path envelope;
    std::string now;
    std::filesystem::path outputDirectory;
    std::optional<std::string> interface;
};

constexpr std::string_view kUsage =
    "usage: tarnel-demo --info-plist PATH --envelope PATH --now YYYY-MM-DDTHH:MM:SSZ --out DIR [--interface enN]\n";

std::optional<Options> parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--info-plist") options.infoPlist = value;
        else if (name == "--envelope") options.envelope = value;
        else if (name == "--now") options.now = value;
        else if (name == "--out") options.outputDirectory = value;
        else if (name == "--interface") options.interface = value;
        else return std::nullopt;
    }
    if (argc % 2 == 0 || options.infoPlist.empty() || options.envelope.empty() || options.now.empty() ||
        options.outputDirectory.empty()) {
        return std::nullopt;
    }
    return options;
}

void run(const Options& options) {
    using namespace tarnel;
    const auto now = iso8601::parse(options.now);
    if (!now) throw std::invalid_argument("--now is not a date-time such as 2031-03-15T12:00:00Z");
    const auto body = files::readIfExists(options.envelope);
    if (!body) throw std::invalid_argument("no envelope at " + options.envelope.string());

    const std::string root = SignedTransportManifestVerifier::requiredTrustRootSPKI(options.infoPlist);
    const auto verified = SignedTransportManifestVerifier::verify(*body, static_cast<double>(*now), std::nullopt,
                                                                  std::nullopt, root);
    std::cout << "Verified transport manifest " << rawValue(verified.format()) << ", revision "
              << verified.revision() << "\n  legacy sha256  " << verified.legacySHA256() << '\n';
    if (const auto& compact = verified.contentFloor().compactV2SHA256()) {
        std::cout << "  compact sha256 " << *compact << '\n';
    }
    for (const auto& origin : verified.subscriptionOrigins().value_or(std::vector<std::string>{})) {
        std::cout << "  subscription origin " << origin << '\n';
    }

    std::cout << "\nCatalog:\n";
    for (const auto& item : verified.manifest().catalogItems()) {
        std::printf("  %-22s %-32s %s\n", item.id.c_str(), item.label.c_str(), std::string(rawValue(item.status)).c_str());
    }

    const auto routes = verified.manifest().routeNodes(static_cast<double>(*now));
    std::cout << "\nRoutes:\n";
    for (const auto& route : routes) {
        std::cout << "  " << route.displayTitle() << "  —  " << route.diagnosticDescription() << '\n';
    }

    const RouteNode& route = routes.front();
    files::ensurePrivateDirectory(options.outputDirectory);
    const auto tunPath = options.outputDirectory / "tun-config.json";
    const auto proxyPath = options.outputDirectory / "proxy-config.json";
    const std::string tun = SingBoxConfig::tunnelConfiguration(route, options.interface);
    files::writeAtomically(tunPath, tun);
    files::writeAtomically(proxyPath, SingBoxConfig::proxyConfiguration(route, options.interface));
    const auto accepted = PrivilegedTunnelConfigurationValidator::validate(tun);
    std::cout << "\nConfiguration of " << route.displayTitle() << ":\n  " << tunPath.string() << " ("
              << tun.size() << " bytes) accepted by the validator: endpoint " << accepted.endpoint << ':'
              << accepted.endpointPort << ", interface " << accepted.defaultInterface.value_or("automatic") << "\n  "
              << proxyPath.string() << " (mixed proxy on " << SingBoxConfig::kMixedListenAddress << ':'
              << SingBoxConfig::kMixedListenPort << ")\n";
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseArguments(argc, argv);
    if (!options) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        run(*options);
    } catch (const std::exception& error) {
        std::cerr << "tarnel-demo: " << tarnel::errorMessage(error) << " (" << tarnel::errorTypeName(error) << ")\n";
        return 1;
    }
    return 0;
}
