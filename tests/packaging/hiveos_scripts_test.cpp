// The HiveOS scripts under bash: h-stats.sh against statistics files (fresh,
// stale, missing, malformed, reordered, with new fields), read with jq and
// without it, and fake sensor trees and cpu-temp; h-config.sh against
// flight-sheet values, including ones that cannot work; h-run.sh with a
// stand-in miner that records what it got.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <regex>

#include "status/stats.hpp"
#include "common/json.hpp"
#include "tests/packaging/util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path hive_dir = QXT_HIVEOS_DIR;

// A copy of the miner folder whose manifest points every path into scratch space.
struct MinerFolder {
    ScratchDir dir{"hiveos"};
    std::string conf = dir / "korven-qxt.conf";
    std::string log_base = dir / "log/korven-qxt";
    std::string stats = dir / "run/stats.json";
    std::string sysfs = dir / "sys";  // no sensors unless a test adds them
    std::string refusal = dir / "korven-qxt.refused";
    std::string bin = dir / "bin";  // ahead of PATH: stand-ins for HiveOS's commands
    bool jq = true;                 // h-stats.sh reads with jq, else without

    MinerFolder() {
        for (const char* script : {"h-config.sh", "h-run.sh", "h-stats.sh"})
            fs::copy_file(hive_dir / script, dir.path() / script);
        std::string manifest;
        for (const std::string& line : split_lines(read_file(hive_dir / "h-manifest.conf"))) {
            if (line.rfind("CUSTOM_CONFIG_FILENAME=", 0) == 0)
                manifest += "CUSTOM_CONFIG_FILENAME=" + conf + "\n";
            else if (line.rfind("CUSTOM_LOG_BASENAME=", 0) == 0)
                manifest += "CUSTOM_LOG_BASENAME=" + log_base + "\n";
            else if (line.rfind("QXT_STATS_FILE=", 0) == 0)
                manifest += "QXT_STATS_FILE=" + stats + "\n";
            else if (line.rfind("QXT_REFUSAL_FILE=", 0) == 0)
                manifest += "QXT_REFUSAL_FILE=" + refusal + "\n";
            else if (line.rfind("QXT_REFUSAL_WAIT=", 0) == 0)
                manifest += "QXT_REFUSAL_WAIT=1\n";
            else
                manifest += line + "\n";
        }
        write_file(dir.path() / "h-manifest.conf", manifest);
        fs::create_directories(dir.path() / "run");
        fs::create_directories(sysfs);
        fs::create_directories(bin);
    }
    fs::path path() const { return dir.path(); }

    void write_stats(const std::string& content, std::chrono::seconds age = 0s) const {
        write_file(stats, content);
        fs::last_write_time(stats, fs::file_time_type::clock::now() - age);
    }
    // A HiveOS command on the scripts' PATH: a bash script body.
    void command(const std::string& name, const std::string& body) const {
        write_file(bin + "/" + name, "#!/bin/bash\n" + body + "\n");
        fs::permissions(bin + "/" + name, fs::perms::owner_all);
    }
    void sensor(const std::string& file, const std::string& value) const {
        fs::create_directories(fs::path(sysfs + "/" + file).parent_path());
        write_file(sysfs + "/" + file, value + "\n");
    }
};

struct Report {
    std::string khs;
    std::string stats_text;
    JsonValue stats;
    bool valid_json = false;
};

Report read_stats(const MinerFolder& m) {
    const ProcessResult r =
        run_bash(R"(cd "$1" && QXT_SYSFS=$2 && PATH=$4:$PATH && { [[ $3 == jq ]] || QXT_JQ=/no/jq; } &&
                    . "$1/h-stats.sh"; printf '%s\n%s\n' "$khs" "$stats")",
                 {m.path().string(), m.sysfs, m.jq ? "jq" : "none", m.bin});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Report report;
    const auto lines = split_lines(r.out);
    if (lines.size() != 2) {
        ADD_FAILURE() << "h-stats.sh printed: " << r.out;
        return report;
    }
    report.khs = lines[0];
    report.stats_text = lines[1];
    report.valid_json = json_parse(lines[1], report.stats);
    EXPECT_TRUE(report.valid_json) << lines[1];
    return report;
}

// The number texts of an array member, e.g. {"2.61"}.
std::vector<std::string> numbers(const Report& r, const char* key) {
    std::vector<std::string> out;
    const JsonValue* v = json_find(r.stats, key);
    if (v == nullptr || v->kind != JsonValue::Kind::array) {
        ADD_FAILURE() << key << " is not an array in " << r.stats_text;
        return out;
    }
    for (const JsonValue& item : v->items) {
        EXPECT_EQ(item.kind, JsonValue::Kind::number) << r.stats_text;
        out.push_back(item.text);
    }
    return out;
}

using Texts = std::vector<std::string>;

// The miner's statistics line for these figures (no per-thread rates unless given).
std::string stats_line(double hs, std::uint64_t accepted, std::uint64_t rejected, std::uint64_t uptime_s,
                       std::uint64_t hw_errors = 0, const std::vector<double>& threads = {}) {
    MinerSnapshot s;
    s.version = "v" QXT_VERSION;
    s.rates.s60 = hs;
    s.accepted = accepted;
    s.rejected = rejected;
    s.uptime_s = uptime_s;
    s.hw_errors = hw_errors;
    s.threads = static_cast<int>(threads.size());
    for (const double rate : threads) s.per_thread.push_back({0, {0, rate, 0}});
    return format_stats_json(s);
}

// The rate is the processor's: one null bus number, not a GPU's.
void expect_no_bus(const Report& r) {
    const JsonValue* bus = json_find(r.stats, "bus_numbers");
    ASSERT_NE(bus, nullptr) << r.stats_text;
    ASSERT_EQ(bus->kind, JsonValue::Kind::array);
    ASSERT_EQ(bus->items.size(), 1u);
    EXPECT_EQ(bus->items[0].kind, JsonValue::Kind::null);
}

// The two ways h-stats.sh reads the file, for SCOPED_TRACE.
const char* way(const MinerFolder& m) { return m.jq ? "with jq" : "without jq"; }

// What a missing, stale or unreadable file reports.
void expect_zero(const Report& r) {
    expect_no_bus(r);
    EXPECT_EQ(r.khs, "0");
    EXPECT_EQ(numbers(r, "hs"), Texts{"0.00"});
    EXPECT_EQ(numbers(r, "ar"), (Texts{"0", "0"}));
    EXPECT_EQ(json_u64_or(r.stats, "uptime", 1), 0u);
    EXPECT_EQ(json_string_or(r.stats, "hs_units", ""), "hs");
    EXPECT_EQ(json_string_or(r.stats, "algo", ""), "argon2id-qxt");
    EXPECT_EQ(json_string_or(r.stats, "ver", ""), QXT_VERSION);
}

}  // namespace

// The version is written in when the tarball is made (checked there).
TEST(HiveosManifest, NamesTheMinerAndItsFiles) {
    const ProcessResult r = run_bash(
        R"(. "$1/h-manifest.conf"; printf '%s\n' "$CUSTOM_NAME" "$CUSTOM_CONFIG_FILENAME" "$CUSTOM_LOG_BASENAME" "$QXT_STATS_FILE" "$QXT_REFUSAL_FILE")",
        {hive_dir.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), (Texts{"korven-qxt", "/hive/miners/custom/korven-qxt/korven-qxt.conf",
                                         "/var/log/miner/korven-qxt/korven-qxt", "/run/korven-qxt/stats.json",
                                         "/hive/miners/custom/korven-qxt/korven-qxt.refused"}));
}

TEST(HiveosStats, FreshFileAsTheMinerWritesIt) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        m.write_stats(stats_line(2.61, 14, 3, 3610));
        const Report r = read_stats(m);
        EXPECT_EQ(r.khs, "0.00261");
        EXPECT_EQ(numbers(r, "hs"), Texts{"2.61"});
        EXPECT_EQ(numbers(r, "ar"), (Texts{"14", "3"}));
        EXPECT_EQ(numbers(r, "temp"), Texts{});
        EXPECT_EQ(numbers(r, "fan"), Texts{});
        expect_no_bus(r);
        EXPECT_EQ(json_u64_or(r.stats, "uptime", 0), 3610u);
        EXPECT_EQ(json_string_or(r.stats, "hs_units", ""), "hs");
        EXPECT_EQ(json_string_or(r.stats, "algo", ""), "argon2id-qxt");
        EXPECT_EQ(json_string_or(r.stats, "ver", ""), "1.0.2");  // the running binary's, without the "v"

        // 25 s old is still fresh (the miner rewrites it every 10 s).
        m.write_stats(stats_line(1.0, 0, 0, 5), 25s);
        EXPECT_EQ(read_stats(m).khs, "0.00100");
    }
}

TEST(HiveosStats, FieldOrderSpacingAndNewFieldsChangeNothing) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        const std::string files[] = {
            R"({"accepted":14,"hashrate_hs":2.61,"rejected":3,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",
            "{\n  \"hashrate_hs\" : 2.61 ,\n  \"accepted\": 14,\t\"rejected\":3,\r\n  \"uptime_s\":3610,\n"
            "  \"version\": \"v1.0.2\", \"algo\" :\"argon2id-qxt\"\n}\n",
            // New fields, some of them holding members of the same names: only the object's own count.
            R"({"hashrate_hs":2.61,"accepted":14,"rejected":3,"lanes":2,"uptime_s":3610,"pool":{"url":"p:1",)"
            R"("accepted":99,"up":true},"version":"v1.0.2","algo":"argon2id-qxt","threads":[{"rejected":7},"}{"]})",
        };
        for (const std::string& file : files) {
            SCOPED_TRACE(file);
            m.write_stats(file);
            const Report r = read_stats(m);
            EXPECT_EQ(r.khs, "0.00261");
            EXPECT_EQ(numbers(r, "ar"), (Texts{"14", "3"}));
            EXPECT_EQ(json_u64_or(r.stats, "uptime", 0), 3610u);
        }
        // Without version and algo: the package's version and the algorithm's name.
        m.write_stats(R"({"hashrate_hs":0.5,"accepted":1,"rejected":0,"uptime_s":9})");
        const Report r = read_stats(m);
        EXPECT_EQ(r.khs, "0.00050");
        EXPECT_EQ(json_string_or(r.stats, "ver", ""), QXT_VERSION);
        EXPECT_EQ(json_string_or(r.stats, "algo", ""), "argon2id-qxt");
    }
}

TEST(HiveosStats, SpeedsKeepTheirDecimalsAndCountsTheirDigits) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        const struct {
            double hs;
            const char* khs;
            const char* hs_text;
        } cases[] = {{0.01, "0.00001", "0.01"}, {1.0, "0.00100", "1.00"}, {999.99, "0.99999", "999.99"},
                     {123456.78, "123.45678", "123456.78"}, {0.0, "0", "0.00"}};
        for (const auto& c : cases) {
            m.write_stats(stats_line(c.hs, 1, 0, 1));
            const Report r = read_stats(m);
            EXPECT_EQ(r.khs, c.khs) << c.hs;
            EXPECT_EQ(numbers(r, "hs"), Texts{c.hs_text});
        }
        // Large counters are copied as text. jq reads numbers as doubles: exact
        // up to 2^53, more than any rig's share count; beyond bash's integers
        // only the plain reader is exact.
        m.write_stats(stats_line(3.5, 9007199254740992ull, 8, 0));
        EXPECT_EQ(numbers(read_stats(m), "ar"), (Texts{"9007199254740992", "8"}));
        if (!jq) {
            m.write_stats(stats_line(3.5, UINT64_MAX, 8, 0));
            EXPECT_EQ(numbers(read_stats(m), "ar"), (Texts{"18446744073709551615", "8"}));
        }
        // Leading zeros (no octal reading).
        m.write_stats(R"({"hashrate_hs":08.09,"accepted":010,"rejected":09,"uptime_s":007,"version":"v1.0.2","algo":"argon2id-qxt"})");
        const Report r = read_stats(m);
        EXPECT_EQ(r.khs, "0.00809");
        EXPECT_EQ(numbers(r, "hs"), Texts{"8.09"});
        EXPECT_EQ(numbers(r, "ar"), (Texts{"10", "9"}));
        EXPECT_EQ(json_u64_or(r.stats, "uptime", 0), 7u);
    }
}

// Shares withheld for a hardware error are the third count of "ar" (the
// rig manager's invalid shares), shown only when there are any; a file
// without the field (an older miner) reads as before.
TEST(HiveosStats, HardwareErrorsAreTheThirdShareCount) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        m.write_stats(stats_line(2.61, 14, 3, 3610, 2));
        Report r = read_stats(m);
        EXPECT_EQ(numbers(r, "ar"), (Texts{"14", "3", "2"}));
        EXPECT_EQ(r.khs, "0.00261");
        m.write_stats(stats_line(2.61, 14, 3, 3610, 0));
        EXPECT_EQ(numbers(read_stats(m), "ar"), (Texts{"14", "3"}));
        m.write_stats(R"({"hashrate_hs":1.00,"accepted":1,"rejected":0,"uptime_s":9,"version":"v1.0.2","algo":"argon2id-qxt","hw_errors":007})");
        EXPECT_EQ(numbers(read_stats(m), "ar"), (Texts{"1", "0", "7"}));
        // jq reads numbers as doubles (exact to 2^53); the plain reader copies the text.
        const std::uint64_t big = jq ? (std::uint64_t{1} << 53) : UINT64_MAX;
        m.write_stats(stats_line(1.0, 1, 0, 9, big));
        EXPECT_EQ(numbers(read_stats(m), "ar"), (Texts{"1", "0", std::to_string(big)}));
        // A malformed field makes the whole line unreadable, as any other field would.
        m.write_stats(R"({"hashrate_hs":1.00,"accepted":1,"rejected":0,"uptime_s":9,"version":"v1.0.2","algo":"argon2id-qxt","hw_errors":-1})");
        expect_zero(read_stats(m));
    }
}

// Each thread's rate is one entry of "hs", with its null bus number and the
// processor's temperature; a list that is not plain rates leaves the total.
TEST(HiveosStats, OneSpeedPerThread) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        m.write_stats(stats_line(2.61, 14, 3, 3610, 0, {1.31, 1.3, 0}));
        Report r = read_stats(m);
        EXPECT_EQ(r.khs, "0.00261");
        EXPECT_EQ(numbers(r, "hs"), (Texts{"1.31", "1.30", "0.00"}));
        EXPECT_EQ(numbers(r, "temp"), Texts{});
        EXPECT_EQ(json_find(r.stats, "bus_numbers")->items.size(), 3u);
        EXPECT_EQ(numbers(r, "ar"), (Texts{"14", "3"}));

        m.sensor("class/hwmon/hwmon0/name", "k10temp");
        m.sensor("class/hwmon/hwmon0/temp1_input", "61000");
        EXPECT_EQ(numbers(read_stats(m), "temp"), (Texts{"61", "61", "61"}));
        for (const char* list : {R"(["1.5","2"])", "[1.5,-2]", "[1.5,null]", "[[1]]", "{}"}) {
            SCOPED_TRACE(list);
            m.write_stats(R"({"hashrate_hs":3.5,"accepted":1,"rejected":0,"uptime_s":9,"thread_hs":)" +
                          std::string(list) + "}");
            r = read_stats(m);
            EXPECT_EQ(numbers(r, "hs"), Texts{"3.50"});
            EXPECT_EQ(numbers(r, "temp"), Texts{"61"});
            expect_no_bus(r);
        }
    }
}

TEST(HiveosStats, StaleOrMissingFileReportsZero) {
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        expect_zero(read_stats(m));  // never written
        m.write_stats(stats_line(2.61, 14, 0, 3610), 35s);
        expect_zero(read_stats(m));
        // A time stamp far ahead: the clock was set back and the miner is gone.
        m.write_stats(stats_line(2.61, 14, 0, 3610), -120s);
        expect_zero(read_stats(m));
    }
}

TEST(HiveosStats, MalformedFilesReportZeroAndValidJson) {
    const std::string good = stats_line(2.61, 14, 0, 3610);
    const std::string malformed[] = {
        "",
        "not json\n",
        good.substr(0, good.size() / 2),  // cut short
        good + good,                      // two objects
        "[" + good + "]",
        R"({"hashrate_hs":2.61,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",  // no accepted
        R"({"hashrate_hs":-2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",
        R"({"hashrate_hs":nan,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",
        R"({"hashrate_hs":"2.61","accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",
        R"({"hashrate_hs":2.61,"accepted":1.5,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt"})",
        R"({"hashrate_hs":12345678901234567890.5,"accepted":1,"rejected":0,"uptime_s":1,"version":"v1","algo":"a"})",
        R"({"hashrate_hs":2.61,"accepted":123456789012345678901,"rejected":0,"uptime_s":1,"version":"v1","algo":"a"})",
        // Text that would break the JSON, or a shell, if it were copied through.
        R"({"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1\"],\"x\":[","algo":"a"})",
        R"j({"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"$(touch pwned)","algo":"a"})j",
        R"({"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"a\\"})",
        R"({"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":7,"algo":"a"})",
        good.substr(0, good.size() - 1) + std::string(4096, 'x') + "\n",
        good.substr(0, good.size() - 2) + ",\"pad\":\"" + std::string(17000, 'x') + "\"}\n",  // over 16 KiB
    };
    for (const bool jq : {true, false}) {
        MinerFolder m;
        m.jq = jq;
        SCOPED_TRACE(way(m));
        for (const std::string& content : malformed) {
            SCOPED_TRACE(content.substr(0, 120));
            m.write_stats(content);
            expect_zero(read_stats(m));
        }
        EXPECT_FALSE(fs::exists(m.path() / "pwned"));
        // An exponent is JSON to jq; the plain reader takes only plain decimals.
        m.write_stats(R"({"hashrate_hs":1e3,"accepted":14,"rejected":0,"uptime_s":3610})");
        EXPECT_EQ(read_stats(m).khs, jq ? "1.00000" : "0");
    }
}

TEST(HiveosStats, CpuTemperatureFromHiveosCpuTempFirst) {
    MinerFolder m;
    m.write_stats(stats_line(2.0, 0, 0, 1));
    m.sensor("class/hwmon/hwmon1/name", "coretemp");
    m.sensor("class/hwmon/hwmon1/temp1_input", "61000");
    m.command("cpu-temp", "echo 57");
    EXPECT_EQ(numbers(read_stats(m), "temp"), Texts{"57"});
    m.command("cpu-temp", "echo 48.5");
    EXPECT_EQ(numbers(read_stats(m), "temp"), Texts{"48"});
    // No usable answer: the own reading.
    m.command("cpu-temp", "echo 'no sensors'; exit 1");
    EXPECT_EQ(numbers(read_stats(m), "temp"), Texts{"61"});
}

TEST(HiveosStats, CpuTemperatureFromHwmonElseThermalZones) {
    MinerFolder m;
    m.write_stats(stats_line(2.0, 0, 0, 1));
    // Package zone only: used when no CPU hwmon chip is there.
    m.sensor("class/thermal/thermal_zone0/type", "acpitz");
    m.sensor("class/thermal/thermal_zone0/temp", "90000");
    m.sensor("class/thermal/thermal_zone1/type", "x86_pkg_temp");
    m.sensor("class/thermal/thermal_zone1/temp", "47999");
    EXPECT_EQ(numbers(read_stats(m), "temp"), Texts{"47"});
    // CPU chips win over the zones; the hottest CPU sensor is reported, other chips are not CPUs.
    m.sensor("class/hwmon/hwmon0/name", "nvme");
    m.sensor("class/hwmon/hwmon0/temp1_input", "85000");
    m.sensor("class/hwmon/hwmon1/name", "coretemp");
    m.sensor("class/hwmon/hwmon1/temp1_input", "61000");
    m.sensor("class/hwmon/hwmon1/temp2_input", "58500");
    m.sensor("class/hwmon/hwmon2/name", "k10temp");
    m.sensor("class/hwmon/hwmon2/temp1_input", "hot");
    const Report r = read_stats(m);
    EXPECT_EQ(numbers(r, "temp"), Texts{"61"});
    EXPECT_EQ(numbers(r, "fan"), Texts{});
}

TEST(HiveosStats, SourcingLeavesOnlyKhsAndStats) {
    for (const char* jq : {"jq", "/no/jq"}) {
        SCOPED_TRACE(jq);
        MinerFolder m;
        m.write_stats(stats_line(2.61, 14, 0, 3610));
        // The agent's own variables keep their values, even those named like the manifest's.
        const ProcessResult r = run_bash(
            R"(dir=keep; line=keep; fields=keep; CUSTOM_VERSION=agent; QXT_JQ=$2; a=$(compgen -v; declare -F)
               . "$1/h-stats.sh"
               comm -13 <(sort <<<"$a") <({ compgen -v; declare -F; } | sort) | grep -vx 'a\|BASH_REMATCH\|MAPFILE'
               echo "$dir $line $fields $CUSTOM_VERSION $khs")",
            {m.path().string(), jq});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "khs\nstats\nkeep keep keep agent 0.00261\n");
    }
}

namespace {

struct FlightSheet {
    std::optional<std::string> url, wallet_template, user_config, worker_name;
};

// Sources h-config.sh with the flight sheet's variables; returns the config file's lines.
Texts apply(const MinerFolder& m, const FlightSheet& f, ProcessResult* result = nullptr) {
    std::string script;
    std::vector<std::string> args = {m.path().string()};
    const std::pair<const char*, const std::optional<std::string>*> vars[] = {
        {"CUSTOM_URL", &f.url}, {"CUSTOM_TEMPLATE", &f.wallet_template},
        {"CUSTOM_USER_CONFIG", &f.user_config}, {"WORKER_NAME", &f.worker_name}};
    for (const auto& [name, value] : vars) {
        if (*value) {
            args.push_back(**value);
            script += std::string(name) + "=$" + std::to_string(args.size()) + "; ";
        } else {
            script += std::string("unset ") + name + "; ";
        }
    }
    args.push_back(m.bin);
    script += "PATH=$" + std::to_string(args.size()) + ":$PATH; ";
    script += R"(cd "$1" && . "$1/h-config.sh")";
    const ProcessResult r = run_bash(script, args);
    EXPECT_EQ(r.status, 0) << r.err;
    if (result != nullptr) *result = r;
    return split_lines(read_file(m.conf));
}

}  // namespace

TEST(HiveosConfig, PoolWalletWorkerAndExtraOptions) {
    MinerFolder m;
    EXPECT_EQ(apply(m, {"pool.example.com:3358", "QXwallet.rig7", "-t 6 --skip 600 --side 4096", "hive-rig"}),
              (Texts{"-o", "pool.example.com:3358", "-u", "QXwallet", "-w", "rig7", "-t", "6", "--skip", "600",
                     "--side", "4096"}));
    // The worker name falls back to the rig's name, else the miner picks the host name.
    EXPECT_EQ(apply(m, {"p:1", "QXwallet", "", "hive-rig"}), (Texts{"-o", "p:1", "-u", "QXwallet", "-w", "hive-rig"}));
    EXPECT_EQ(apply(m, {"p:1", "QXwallet.", std::nullopt, "hive-rig"}),
              (Texts{"-o", "p:1", "-u", "QXwallet", "-w", "hive-rig"}));
    EXPECT_EQ(apply(m, {"p:1", "QXwallet", std::nullopt, std::nullopt}), (Texts{"-o", "p:1", "-u", "QXwallet"}));
    EXPECT_EQ(apply(m, {"p:1", "QXwallet.rig.a", std::nullopt, std::nullopt}),
              (Texts{"-o", "p:1", "-u", "QXwallet", "-w", "rig.a"}));
    // Pool forms: URLs kept for the miner, every pool used (the first as the
    // pool, TLS ones included), blanks around.
    EXPECT_EQ(apply(m, {" stratum+tcp://pool.example.com:3358/ \n stratum+ssl://backup:443 b2:1", " QXw ",
                        "\n-t\t2 --tls-fingerprint AB:CD\n", ""}),
              (Texts{"-o", "stratum+tcp://pool.example.com:3358/", "--backup-pool", "stratum+ssl://backup:443",
                     "--backup-pool", "b2:1", "-u", "QXw", "-t", "2", "--tls-fingerprint", "AB:CD"}));
    EXPECT_FALSE(fs::exists(m.refusal));
}

TEST(HiveosConfig, AFlightSheetThatCannotWorkIsRefusedOnTheDashboard) {
    MinerFolder m;
    m.command("message", R"(printf '%s|' "$@" >> "$(dirname "$0")/messages"; echo >> "$(dirname "$0")/messages")");
    const std::string messages = m.bin + "/messages";
    const struct {
        FlightSheet sheet;
        const char* reason;
    } cases[] = {
        {{"pool.example.com:3358", std::nullopt, "-t 1", std::nullopt},
         "the flight sheet gives no payout address (wallet and worker template, e.g. %WAL%.%WORKER_NAME%)"},
        {{"p:1", ".rig", std::nullopt, "hive-rig"},
         "the flight sheet gives no payout address (wallet and worker template, e.g. %WAL%.%WORKER_NAME%)"},
        {{"http://pool.example.com:443", "QXw", std::nullopt, std::nullopt},
         "the pool URL http://pool.example.com:443 has a scheme korven-qxt does not know: use host:port, "
         "stratum+tcp:// or stratum+ssl://"},
        {{"SSL://p:443 stratum+udp://p:1", "QXw", std::nullopt, std::nullopt},
         "the pool URL stratum+udp://p:1 has a scheme korven-qxt does not know: use host:port, stratum+tcp:// or "
         "stratum+ssl://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        write_file(m.conf, "-o\nold:1\n");  // an earlier flight sheet's arguments
        fs::remove(messages);
        ProcessResult r;
        EXPECT_EQ(apply(m, c.sheet, &r), Texts{});
        EXPECT_FALSE(fs::exists(m.conf));  // nothing left for h-run.sh to start with
        EXPECT_EQ(read_file(m.refusal), std::string(c.reason) + "\n");
        EXPECT_EQ(r.err, std::string("korven-qxt: ") + c.reason + "\n");
        EXPECT_EQ(read_file(messages), std::string("error|korven-qxt: ") + c.reason + "|\n");
    }
    // A working flight sheet again: arguments, no refusal.
    EXPECT_EQ(apply(m, {"stratum+ssl://p:1", "QXw", std::nullopt, std::nullopt}),
              (Texts{"-o", "stratum+ssl://p:1", "-u", "QXw"}));
    EXPECT_FALSE(fs::exists(m.refusal));
    // Without HiveOS's message command the refusal still works.
    fs::remove(m.bin + "/message");
    ProcessResult r;
    EXPECT_EQ(apply(m, {"gopher://p:1", "QXw", std::nullopt, std::nullopt}, &r), Texts{});
    EXPECT_TRUE(fs::exists(m.refusal));
}

TEST(HiveosConfig, TheMinersDryRunRefusesABadExtraOption) {
    MinerFolder m;
    fs::copy_file(QXT_BINARY, m.path() / "korven-qxt");
    m.command("message", R"(printf '%s|' "$@" >> "$(dirname "$0")/messages")");
    write_file(m.conf, "-o\nold:1\n");
    ProcessResult r;
    EXPECT_EQ(apply(m, {"127.0.0.1:1", "QXw", "-t 1 --bogus", std::nullopt}, &r), Texts{});
    const std::string reason = "the miner refuses the flight sheet (status 2): unknown option --bogus (see --help)";
    EXPECT_EQ(read_file(m.refusal), reason + "\n");
    EXPECT_EQ(r.err, "korven-qxt: " + reason + "\n");
    EXPECT_EQ(read_file(m.bin + "/messages"), "error|korven-qxt: " + reason + "|");
    // A rule between options, said on a tagged line after the checks began.
    apply(m, {"127.0.0.1:1", "QXw", "--lanes 9", std::nullopt});
    EXPECT_EQ(read_file(m.refusal), "the miner refuses the flight sheet (status 2): cpu   --lanes takes 1 to 4\n");
    // What the miner accepts is written for h-run.sh, and nothing was started.
    EXPECT_EQ(apply(m, {"127.0.0.1:1", "QXw", "-t 1", std::nullopt}),
              (Texts{"-o", "127.0.0.1:1", "-u", "QXw", "-t", "1"}));
    EXPECT_FALSE(fs::exists(m.refusal));
}

TEST(HiveosConfig, ValuesBecomeArgumentsVerbatimAndRunNothing) {
    MinerFolder m;
    // Each payload would create the file "pwned" if a shell evaluated it.
    const Texts lines = apply(m, {"p:1$(>pwned)", "QX`>pwned`.w;>pwned",
                                  R"(-w "my rig" --side 'a b' c\ d $(>pwned) ; >pwned * ~ '*' "x)"
                                  "\n"
                                  R"(y" "q\"\\")",
                                  std::nullopt});
    EXPECT_EQ(lines, (Texts{"-o", "p:1$(>pwned)", "-u", "QX`>pwned`", "-w", "w;>pwned", "-w", "my rig", "--side",
                            "a b", "c d", "$(>pwned)", ";", ">pwned", "*", "~", "*", "x y", "q\"\\"}));
    EXPECT_FALSE(fs::exists(m.path() / "pwned"));
}

namespace {

// Stands in for the miner: records its arguments and folder, says whether a
// statistics file was already there, and stops on SIGINT or SIGTERM.
const char* const stand_in = R"(#!/bin/bash
[[ ${@: -1} == --dry-run ]] && exit 0
trap 'echo "stopped by INT"; exit 0' INT
trap 'echo "stopped by TERM"; exit 0' TERM
printf '%s\n' "$@" > args.out
pwd > cwd.out
[[ -e ${@: -1} ]] && echo "old statistics file still there"
echo "miner started"
for ((i = 0; i < 300; i++)); do sleep 0.05; done
echo "never stopped"
)";

void install_stand_in(const MinerFolder& m) {
    write_file(m.path() / "korven-qxt", stand_in);
    fs::permissions(m.path() / "korven-qxt", fs::perms::owner_all);
}

}  // namespace

TEST(HiveosRun, RunsTheMinerFromItsFolderAndSigtermReachesIt) {
    MinerFolder m;
    install_stand_in(m);
    const Texts conf = apply(m, {"p:1", "QXw.rig", "-t 2 '$(x)'", std::nullopt});
    m.write_stats("{}");
    fs::create_directories(fs::path(m.log_base).parent_path());
    write_file(m.log_base + ".log", "earlier run\n");

    Process p({"/bin/bash", (m.path() / "h-run.sh").string()});
    ASSERT_TRUE(p.wait_for_output("miner started", 10s)) << p.out();
    p.signal(SIGTERM);  // to the script's process: the miner has taken its place
    const ProcessResult r = p.wait(10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "miner started\nstopped by TERM\n");
    // Appended: the rig manager rotates and truncates the log, h-run.sh never does.
    EXPECT_EQ(read_file(m.log_base + ".log"), "earlier run\n" + r.out);
    EXPECT_FALSE(fs::exists(m.log_base + ".log.1"));

    Texts expected = conf;
    expected.insert(expected.end(), {"--stats-file", m.stats});
    EXPECT_EQ(split_lines(read_file(m.path() / "args.out")), expected);
    EXPECT_EQ(split_lines(read_file(m.path() / "cwd.out")), Texts{m.path().string()});
}

TEST(HiveosRun, CtrlCStillLogsTheMinersLastLines) {
    if (!fs::exists("/usr/bin/setsid")) GTEST_SKIP() << "no setsid";
    MinerFolder m;
    install_stand_in(m);
    apply(m, {"p:1", "QXw", std::nullopt, std::nullopt});
    // In a process group of its own, like the miner and tee in the manager's terminal.
    Process p({"/usr/bin/setsid", "/bin/bash", (m.path() / "h-run.sh").string()});
    ASSERT_TRUE(p.wait_for_output("miner started", 10s)) << p.out();
    ASSERT_EQ(getpgid(p.pid()), p.pid());
    kill(-p.pid(), SIGINT);
    const ProcessResult r = p.wait(10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(m.log_base + ".log"), "miner started\nstopped by INT\n");
}

TEST(HiveosRun, ARefusedFlightSheetIsShownNotStarted) {
    MinerFolder m;
    install_stand_in(m);
    apply(m, {"gopher://p:1", "QXw", std::nullopt, std::nullopt});
    const auto t0 = std::chrono::steady_clock::now();
    const ProcessResult r = run_process({"/bin/bash", (m.path() / "h-run.sh").string()}, 10s);
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1s);  // QXT_REFUSAL_WAIT: no tight restart loop
    const std::string line = "korven-qxt: not started: " + read_file(m.refusal);
    EXPECT_EQ(r.err, line);
    EXPECT_EQ(read_file(m.log_base + ".log"), line);  // in the log the dashboard shows
    EXPECT_FALSE(fs::exists(m.path() / "args.out"));
}

TEST(HiveosRun, WithoutAConfigItStopsAndSaysWhy) {
    MinerFolder m;
    install_stand_in(m);
    const ProcessResult r = run_process({"/bin/bash", (m.path() / "h-run.sh").string()}, 10s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("apply a flight sheet first"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(m.path() / "args.out"));
}
