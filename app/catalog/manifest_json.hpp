#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "common/base/json.hpp"

// What the manifest readers share: members of manifest documents held as JSON
// values (the v1 normaliser and the compact expander work on the documents
// themselves, so that every member they do not know is kept), and the date
// members of the decoded records.
namespace tarnel::manifest_json {

// Throws SignedTransportManifestError(invalidManifest).
[[noreturn]] void invalidManifest();

// The member's text; null when it is missing or not a string.
[[nodiscard]] const std::string* stringMember(const json::Value& object, std::string_view key);
// The member's text trimmed of white space and newlines; empty when it is
// missing or not a string.
[[nodiscard]] std::string trimmedStringMember(const json::Value& object, std::string_view key);

// The member as a list whose every element is an object; invalidManifest
// otherwise.
[[nodiscard]] const json::Value& objectList(const json::Value& object, std::string_view key);
[[nodiscard]] json::Value& objectList(json::Value& object, std::string_view key);

// Keeps in the document's "nodes" the transports whose trimmed "kind" `keep`
// accepts (`keep` sees every transport in order and may throw), and the nodes
// left with any; every other member stays as it is. Gives the non-empty
// "catalog_id" texts of the kept transports. invalidManifest when "nodes" or
// a node's "transports" is not a list of objects.
std::set<std::string> keepTransports(json::Value& document, const std::function<bool(const std::string&)>& keep);

// Replaces the document's "catalog" with the catalog rebuilt for its trimmed
// "service_class" and `catalogIDs`; invalidManifest when the service class is
// missing, not a string or only white space.
void rebuildCatalog(json::Value& document, const std::set<std::string>& catalogIDs);

// A date-time member as whole seconds since 1970 (its offset applied). Throws
// json::JsonError: missingKey or typeMismatch like any string member, and
// typeMismatch naming the key for a text that is not a date-time.
[[nodiscard]] std::int64_t dateMember(const json::ObjectReader& reader, std::string_view key);

}  // namespace tarnel::manifest_json
