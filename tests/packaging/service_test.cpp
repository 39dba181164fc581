// The Debian package's service: the systemd unit (its settings, and
// systemd-analyze verify where it is available) and the example settings file
// it runs from, which is valid but mines nothing until an address is put in.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cli/config_file.hpp"
#include "common/json.hpp"
#include "tests/packaging/util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path debian_dir = QXT_DEBIAN_DIR;
const std::string unit_file = (debian_dir / "korven-qxt.service").string();
const std::string example = (debian_dir / "config.json").string();
const char* const analyze = "/usr/bin/systemd-analyze";

// "Section.Key" -> value of every setting of the unit (each key once).
std::map<std::string, std::string> unit_settings() {
    std::map<std::string, std::string> settings;
    std::string section;
    for (const std::string& line : split_lines(read_file(unit_file))) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const std::size_t eq = line.find('=');
        const std::string key = section + "." + line.substr(0, eq);
        EXPECT_EQ(settings.count(key), 0u) << key << " twice";
        settings[key] = line.substr(eq + 1);
    }
    return settings;
}

}  // namespace

TEST(Service, RunsTheMinerFromTheSettingsFileHardenedAndRestarted) {
    auto s = unit_settings();
    EXPECT_EQ(s["Service.ExecStart"], "/usr/bin/korven-qxt --config /etc/korven-qxt/config.json");
    EXPECT_EQ(s["Service.Type"], "simple");
    EXPECT_EQ(s["Service.Restart"], "on-failure");
    EXPECT_EQ(s["Service.RestartPreventExitStatus"], "2");  // a settings error is not restarted
    for (const char* key : {"Service.NoNewPrivileges", "Service.PrivateTmp", "Service.ProtectHome",
                            "Service.DynamicUser"})
        EXPECT_EQ(s[key], "yes") << key;
    EXPECT_EQ(s["Service.ProtectSystem"], "strict");
    EXPECT_EQ(s["Service.RuntimeDirectory"], "korven-qxt");  // /run/korven-qxt, for the statistics file
    EXPECT_EQ(s["Service.LogsDirectory"], "korven-qxt");
    EXPECT_EQ(s["Install.WantedBy"], "multi-user.target");
    EXPECT_EQ(s["Unit.After"], "network-online.target");
}

TEST(Service, SystemdAcceptsTheUnit) {
    if (!fs::exists(analyze)) GTEST_SKIP() << "no systemd-analyze on this machine (apt-get install systemd)";
    const fs::path units = "/lib/systemd/system";
    if (!fs::exists(units / "multi-user.target")) GTEST_SKIP() << "no systemd units under " << units;
    // A root of its own: this machine's units, the unit and the binary where it will be installed.
    ScratchDir root("unit-root");
    fs::create_directories(root.path() / "lib/systemd");
    fs::create_directories(root.path() / "usr/bin");
    fs::copy(units, root.path() / "lib/systemd/system", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::copy_file(unit_file, root.path() / "lib/systemd/system/korven-qxt.service",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(QXT_BINARY, root.path() / "usr/bin/korven-qxt");
    const ProcessResult r = run_process({analyze, "verify", "--man=no", "--root=" + root.path().string(),
                                         (root.path() / "lib/systemd/system/korven-qxt.service").string()},
                                        60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");  // not a single warning
}

TEST(Service, ExampleSettingsAreValidButMineNothingWithoutAnAddress) {
    Options o;
    const Outcome<Done> read = apply_config_text(read_file(example), example, o);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(o.address, "");
    EXPECT_EQ(o.stats_file, "/run/korven-qxt/stats.json");
    EXPECT_FALSE(o.color);

    // Every setting shown switched off ("_key") is valid once switched on.
    JsonValue root;
    ASSERT_TRUE(json_parse(read_file(example), root));
    int shown = 0;
    for (const auto& [key, value] : root.members) {
        if (key == "_comment" || key[0] != '_') continue;
        const std::string text = "{\"" + key.substr(1) + "\": " +
                                 (value.kind == JsonValue::Kind::string ? "\"" + value.text + "\"" : value.text) + "}";
        Options any;
        const Outcome<Done> on = apply_config_text(text, example, any);
        EXPECT_TRUE(on) << key << ": " << (on ? "" : on.error().message);
        ++shown;
    }
    EXPECT_GE(shown, 3);

    // The service as installed: the miner refuses to start, status 2, and says why.
    const ProcessResult r = run_process({QXT_BINARY, "--config", example}, 60s);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.err, "a QXT payout address is required: -u <address>\n");
}
