// Pool addresses as pools print them: "host:port", "[2001:db8::1]:port", and
// the URL forms "stratum+tcp://", "tcp://" (plain) and "stratum+ssl://",
// "stratum+tls://", "stratum+tcps://", "ssl://", "tls://" (TLS).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "pool/config.hpp"

namespace nolu::qxt {

// One pool address. Without a scheme the pool is TLS when tls_default is
// (--tls). The host is everything before the last ':' ("[...]" kept whole);
// without a colon the port is 3333; the port is read from its leading
// digits (0 without any). Fails on an unknown scheme (the message names it)
// and on a port above 65535.
Expected<Endpoint> split_pool(std::string_view text, bool tls_default = false);

// The pool list (the pool, then its backups) with their pins: each of
// fingerprints is "<hex>" for the pool or "<host:port>=<hex>" for the pool of
// that address (64 hexadecimal digits, colons allowed). Fails, with a message
// for the user, on a bad address, a bad fingerprint or one that names no pool.
Expected<std::vector<Endpoint>> pool_list(const std::string& pool, const std::vector<std::string>& backups,
                                          bool tls_default, const std::vector<std::string>& fingerprints);

}  // namespace nolu::qxt
