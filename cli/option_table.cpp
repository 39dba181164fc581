// The option table: every option the miner takes, in the order --help lists
// them. The first ten rows are the usage text's historical lines; the rest
// follow by topic (pools, offline modes, memory options, checks, watching,
// files, and the program itself).
#include <climits>
#include <cstdlib>

#include "cli/options.hpp"

namespace nolu::qxt {

namespace {

// Leading digits only, junk ignored, sign accepted; stored as a 32-bit int.
// The option's range has been checked (check_number) before.
int read_int(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 10)); }

// Zero and negative counts keep their meaning (automatic, off), so most
// ranges are open below: a value outside is refused rather than wrapped.
constexpr NumberRange at_most(long long high) { return {true, INT_MIN, high}; }
constexpr NumberRange between(long long low, long long high) { return {true, low, high}; }

using C = ConfigValue;

constexpr OptionRow option_rows[] = {
    {.names = {"--pool", "-o"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.pool = v; },
     .value_name = "<host:port>", .help = "pool (default: NoluPool QXT {pool})"},
    {.names = {"--user", "-u", "--address"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.address = v; }, .value_name = "<address>",
     .help = "your QXT payout address"},
    {.names = {"--worker", "-w"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.worker = v; },
     .value_name = "<name>", .help = "worker name (default: hostname)"},
    {.names = {"--threads", "-t"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.threads = read_int(v); }, .config = C::integer,
     .value_name = "<n>", .help = "mining threads (default: auto, 2 GiB RAM per thread)",
     .range = at_most(1024)},  // 1024 threads need 2 TiB
    {.names = {"--stats-file"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.stats_file = v; },
     .value_name = "<f>", .help = "write JSON stats every 10 s (HiveOS reads this file)"},
    {.names = {"--no-color"}, .takes_value = false, .apply = [](Options& o, const char*) { o.color = false; },
     .help = "uncolored output"},
    {.names = {"--engine"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.engine = v; },
     .value_name = "<avx512|avx2>", .help = "force an engine (default: best for this CPU)"},
    {.names = {"--bench"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.bench = read_int(v); },
     .config = C::integer, .value_name = "<seconds>", .help = "offline benchmark", .range = between(0, INT_MAX)},
    {.names = {"--skip"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.skip = read_int(v); },
     .config = C::integer, .value_name = "<permille>",
     .help = "skip-store: odd blocks past this point are not written, rebuilt when read (AVX-512, 500-1000, "
             "0 = off; default: 600 with 4 threads or more, off below)",
     .range = between(-1, 1000)},  // -1 automatic, 0 off, 1-499 read as 500
    {.names = {"--side"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.side = read_int(v); },
     .config = C::integer, .value_name = "<slots>",
     .help = "side cache: first-half blocks re-read soon are served from a <slots> KiB buffer (AVX-512, 0 = off)",
     .range = at_most(65000)},  // the planner's largest buffer

    {.names = {"--backup-pool"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.backup_pools.emplace_back(v); }, .config = C::texts,
     .value_name = "<host:port>", .help = "a pool to mine on while the ones before it fail (repeatable, tried in order)"},
    {.names = {"--tls"}, .takes_value = false, .apply = [](Options& o, const char*) { o.tls = true; },
     .help = "a pool without a scheme speaks TLS (any pool may be a URL: stratum+tcp://h:p, "
             "stratum+ssl://h:p)"},
    {.names = {"--tls-fingerprint"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.tls_fingerprints.emplace_back(v); }, .config = C::texts,
     .value_name = "<[host:port=]hex>", .help = "pin a TLS pool's certificate by its SHA-256 (bare: -o's; repeatable)"},
    {.names = {"--tls-ca"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.tls_ca = v; },
     .value_name = "<file>", .help = "trust the CA certificates of this PEM file for TLS pools"},
    {.names = {"--verify"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.verify = v; },
     .value_name = "<file>", .help = "hash the records of <file> (header, nonce, hash per line) and compare"},
    {.names = {"--side-dist"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.side_dist = read_int(v); }, .config = C::integer,
     .value_name = "<d>", .help = "greatest read distance the side-cache plan weighs (default: it tries 2048-32768)",
     .range = at_most(2097152)},  // at most the arena
    {.names = {"--reft"}, .takes_value = false, .apply = [](Options& o, const char*) { o.reft = true; },
     .help = "with skip-store, keep a table of every skipped block's reference index"},
    {.names = {"--skip-norebuild"}, .takes_value = false, .apply = [](Options& o, const char*) { o.rebuild = false; },
     .help = "a --bench probe: skip-store without rebuilding (the hashes are wrong)"},
    {.names = {"--lanes"}, .takes_value = true,
     .apply =
         [](Options& o, const char* v) {
             o.lanes = read_int(v);
             o.lanes_given = true;
         },
     .config = C::integer, .value_name = "<n>",
     .help = "nonces each thread hashes at once, one arena each (1-4, default with AVX-512: 4 where memory holds "
             "them, 2 where it holds 2 or 3, else 1)",
     .range = at_most(INT_MAX)},  // the option rules say 1 to 4; no wrapping into that
    {.names = {"--tune"}, .takes_value = false,
     .apply =
         [](Options& o, const char* v) {
             o.tune = true;
             o.tune_seconds = v != nullptr ? read_int(v) : 0;
         },
     .config = C::none, .optional_number = true, .value_name = "[seconds]",
     .help = "try the settings this machine can hold and list them by speed (default: 300 s in all); "
             "with -c <file>, write the fastest setting there",
     .range = between(0, INT_MAX)},
    {.names = {"--no-self-test"}, .takes_value = false, .apply = [](Options& o, const char*) { o.self_test = false; },
     .help = "skip the start-up self-test (one known hash per thread)"},
    {.names = {"--no-recheck"}, .takes_value = false, .apply = [](Options& o, const char*) { o.recheck = false; },
     .help = "submit shares without hashing them a second time first"},
    {.names = {"--max-temp"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.max_temp = read_int(v); }, .config = C::integer,
     .value_name = "<C>", .help = "pause hashing at this CPU temperature (Celsius), resume 5 below; 0 = no limit",
     .range = between(0, 150)},
    {.names = {"--cpu-priority"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.cpu_priority = read_int(v); }, .config = C::integer,
     .value_name = "<n>", .help = "lower the mining threads' priority, for a shared machine (0-5, 0 = unchanged)",
     .range = between(0, 5)},
    {.names = {"--http"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.http = v; },
     .value_name = "<[host:]port>",
     .help = "serve /metrics (Prometheus) and /summary (JSON) over HTTP (a bare port: 127.0.0.1)"},
    {.names = {"--http-token"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.http_token = v; },
     .value_name = "<t>", .help = "require \"Authorization: Bearer <t>\" (needed to listen beyond loopback)"},
    {.names = {"--http-token-file"}, .takes_value = true,
     .apply = [](Options& o, const char* v) { o.http_token_file = v; }, .value_name = "<f>",
     .help = "the token from a file only its owner may read (read once at start)"},
    {.names = {"--config", "-c"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.config = v; },
     .config = C::none, .value_name = "<file>",
     .help = "settings from a JSON file (keys: the long options); the command line wins"},
    {.names = {"--log-file"}, .takes_value = true, .apply = [](Options& o, const char* v) { o.log_file = v; },
     .value_name = "<f>", .help = "append every console line, with a local ISO-8601 time stamp, to <f>"},
    {.names = {"--dry-run"}, .takes_value = false, .apply = [](Options& o, const char*) { o.dry_run = true; },
     .config = C::none, .help = "check the options, settings file and processor, say what would run, and exit"},
    {.names = {"--version", "-V"}, .takes_value = false, .apply = [](Options& o, const char*) { o.version = true; },
     .config = C::none, .help = "the version and the engines this processor can use"},
    {.names = {"--help", "-h"}, .takes_value = false, .apply = [](Options& o, const char*) { o.help = true; },
     .config = C::none, .help = "print this text"},
};

}  // namespace

std::span<const OptionRow> option_table() { return option_rows; }

}  // namespace nolu::qxt
