#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// The enforcing mode of the pfctl stand-in: the anchor's rule text as an
// nftables table of the network namespace the stand-in runs in.
//
// Each line is one first-match rule ("quick"): "pass" accepts, "block drop"
// drops, and the first rule a packet matches decides. Outbound rules go into
// an output chain, "pass in" rules into an input chain; a packet no rule
// matches passes, as it does with an anchor. The line shapes understood are
// those the kill switch writes:
//
//   (pass | block drop) (in | out) quick [on IF] [proto P | proto { P, ... }]
//       (all | [from ADDRS [port PORTS]] to ADDRS [port PORTS]) [user root] [keep state]
//
// where ADDRS is "any", an address or prefix, or "{ a, b, ... }", and PORTS a
// number or "{ n, m, ... }". "lo0" is the loopback device "lo"; "user root" is
// the socket owner's uid 0; "keep state" is what connection tracking does
// anyway. A rule whose addresses mix IPv4 and IPv6 becomes one rule for each
// family it can match. Anything else is refused, so that a rule the stand-in
// cannot enforce never passes as enforced.
namespace tarnel::pfctl {

inline constexpr std::string_view kNftTable = "tarnel_anchor";

class TranslationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The nft script that replaces the table with the rules of `anchorText`
// (an empty text gives an empty table). Throws TranslationError naming the
// line that cannot be enforced.
[[nodiscard]] std::string nftScript(std::string_view anchorText);

// The nft script that removes the table, whether or not it exists.
[[nodiscard]] std::string nftRemovalScript();

}  // namespace tarnel::pfctl
