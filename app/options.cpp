#include "app/options.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hash/arena.hpp"

namespace nolu::qxt {

namespace {

// Leading digits only, junk ignored, sign accepted; stored as a 32-bit int.
int read_int(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

struct Cursor {
    int argc;
    const char* const* argv;
    int i;
    std::FILE* err;
    bool missing = false;

    // The value after an option, verbatim (even when it starts with '-').
    const char* value(const char* long_name) {
        if (i + 1 >= argc) {
            std::fprintf(err, "missing value for %s\n", long_name);
            missing = true;
            return nullptr;
        }
        return argv[++i];
    }
};

bool is(const char* arg, const char* a, const char* b = nullptr, const char* c = nullptr) {
    return std::strcmp(arg, a) == 0 || (b != nullptr && std::strcmp(arg, b) == 0) ||
           (c != nullptr && std::strcmp(arg, c) == 0);
}

}  // namespace

std::string usage_text(const char* program) {
    std::string text = "usage: ";
    text += program;
    text += " -u <QXT address> [options]\n";
    text += "  -o, --pool <host:port>   pool (default: NoluPool QXT ";
    text += default_pool;
    text += ")\n";
    text +=
        "  -u, --user <address>     your QXT payout address\n"
        "  -w, --worker <name>      worker name (default: hostname)\n"
        "  -t, --threads <n>        mining threads (default: auto, 2 GiB RAM per thread)\n"
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n"
        "      --no-color           uncolored output\n"
        "      --engine <avx512|avx2>  force an engine (default: best for this CPU)\n"
        "      --bench <seconds>    offline benchmark\n"
        "      --skip <permille>    skip-store: odd blocks past this point are not written, rebuilt when read "
        "(AVX-512, 500-1000,\n"
        "                           0 = off; default: 600 with 4 threads or more, off below)\n"
        "      --side <slots>       side cache: first-half blocks re-read soon are served from a <slots> KiB "
        "buffer (AVX-512, 0 = off)\n";
    return text;
}

std::optional<int> parse_options(int argc, const char* const* argv, Options& o, std::FILE* out, std::FILE* err) {
    Cursor c{argc, argv, 1, err};
    for (; c.i < argc; ++c.i) {
        const char* arg = argv[c.i];
        const char* v = nullptr;
        if (is(arg, "-o", "--pool")) {
            if ((v = c.value("--pool"))) o.pool = v;
        } else if (is(arg, "-u", "--user", "--address")) {
            if ((v = c.value("--user"))) o.address = v;
        } else if (is(arg, "-w", "--worker")) {
            if ((v = c.value("--worker"))) o.worker = v;
        } else if (is(arg, "-t", "--threads")) {
            if ((v = c.value("--threads"))) o.threads = read_int(v);
        } else if (is(arg, "--stats-file")) {
            if ((v = c.value("--stats-file"))) o.stats_file = v;
        } else if (is(arg, "--no-color")) {
            o.color = false;
        } else if (is(arg, "--engine")) {
            if ((v = c.value("--engine"))) o.engine = v;
        } else if (is(arg, "--verify")) {
            if ((v = c.value("--verify"))) o.verify = v;
        } else if (is(arg, "--bench")) {
            if ((v = c.value("--bench"))) o.bench = read_int(v);
        } else if (is(arg, "--skip")) {
            if ((v = c.value("--skip"))) o.skip = read_int(v);
        } else if (is(arg, "--skip-norebuild")) {
            o.rebuild = false;
        } else if (is(arg, "--reft")) {
            set_reft(true);
        } else if (is(arg, "--side")) {
            if ((v = c.value("--side"))) o.side = read_int(v);
        } else if (is(arg, "--side-dist")) {
            if ((v = c.value("--side-dist"))) o.side_dist = read_int(v);
        } else if (is(arg, "-h", "--help")) {
            const std::string text = usage_text(argv[0]);
            std::fputs(text.c_str(), out);
            return 0;
        } else {
            std::fprintf(err, "unknown option %s (see --help)\n", arg);
            return 2;
        }
        if (c.missing) return 2;
    }

    PoolEndpoint endpoint;
    if (!split_pool(o.pool, endpoint)) {
        const std::size_t colon = o.pool.rfind(':');
        std::fprintf(err, "pool port %s is out of range (0 to 65535)\n", o.pool.c_str() + colon + 1);
        return 2;
    }
    return std::nullopt;
}

bool split_pool(const std::string& pool, PoolEndpoint& endpoint) {
    const std::size_t colon = pool.rfind(':');
    if (colon == std::string::npos) {
        endpoint.host = pool;
        endpoint.port = 3333;
        return true;
    }
    endpoint.host = pool.substr(0, colon);
    errno = 0;
    const long port = std::strtol(pool.c_str() + colon + 1, nullptr, 10);
    if (port < 0 || port > 65535 || errno == ERANGE) return false;
    endpoint.port = static_cast<std::uint16_t>(port);
    return true;
}

std::optional<EngineKind> choose_engine(const std::string& requested, bool avx512, bool avx2, std::string& message) {
    if (avx512 && requested != "avx2") return EngineKind::avx512;
    if (!avx2) {
        message = "this CPU has neither AVX-512 nor AVX2: not supported";
        return std::nullopt;
    }
    if (requested == "avx512") {
        message = "AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)";
        return std::nullopt;
    }
    return EngineKind::avx2;
}

std::optional<std::string> check_option_rules(EngineKind engine, Options& o) {
    const char* probe = "--skip-norebuild is a probe: --bench only (hashes are wrong)";
    if (engine == EngineKind::avx2) {
        if (o.skip > 0) return std::string("--skip needs the AVX-512 engine");
        if (!o.rebuild && o.bench <= 0) return std::string(probe);
        if (o.side != 0) return std::string("--side needs the AVX-512 engine");
        o.skip = 0;
        return std::nullopt;
    }
    if (!o.rebuild && o.bench <= 0) return std::string(probe);
    return std::nullopt;
}

}  // namespace nolu::qxt
