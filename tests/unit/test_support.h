// Shared fixtures of the native tests: a scratch folder, files in it, the
// log window captured, and the engine's globals put back to process start.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

#include "config/config.h"
#include "log/log.h"
#include "relay/relay.h"

namespace testsupport {

namespace fs = std::filesystem;

inline std::string& Captured() {
    static std::string text;
    return text;
}

// The sinks call the hook under their lock; the tests read and clear the
// capture under the same lock, since the worker may be writing to it.
inline void CapturePiece(const char* piece) { Captured() += piece; }
inline void ClearCaptured() {
    SettingsTextGuard guard;
    Captured().clear();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Polls `done` every 5 ms for at most `limitMs`; true when it came true.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

// Each test gets a scratch folder (removed afterwards), an INI path in it, a
// clean engine state and short timings; the working directory is restored.
class EngineTest : public ::testing::Test {
protected:
    std::string dir;
    std::string ini;
    std::string savedCwd;

    void SetUp() override {
        char buf[4096];
        savedCwd = getcwd(buf, sizeof buf) ? buf : "/";
        // The system's scratch folder (TMPDIR when set), never a fixed path.
        std::string tmpl = (fs::temp_directory_path() / "ambrel-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        ini = dir + "/Ambrel.ini";
        CloseLogFile();
        ResetConfiguration();
        snprintf(hostSettings.iniPath, sizeof hostSettings.iniPath, "%s", ini.c_str());
        snprintf(hostSettings.serviceName, sizeof hostSettings.serviceName, "Ambrel");
        snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%s/Ambrel.log", dir.c_str());
        ClearLogWindowText();
        ClearCaptured();
        uiHooks = UiHooks{};
        uiHooks.windowTextAdded = CapturePiece;
        relayState.stopRequested = 0;
        relayState.workerRunning = 0;
        relayState.paused = 0;
        relayState.sendNow = 0;
        relayState.cancelBackoff = 0;
        relayState.loopSecond = -1;
        relayState.passDomain = 0;
        relayState.currentMailbox = 0;
        relayState.relaySocket = kNoSocket;
        ResetRelaySession();
        ForgetDeliveredFiles();
        ResetConfigStamp();
        relayTimings = RelayTimings{};
        relayTimings.workerStartMs = 0;
        relayTimings.mailboxScanMs = 0;
        relayTimings.loopSecondMs = 5;
        relayTimings.noConfigWaitMs = 5;
        relayTimings.pauseStepMs = 5;
        relayTimings.replyPauseMs = 0;
        relayTimings.backoffStepMs = 1;
        relayTimings.backoffSteps = 2;
        relayTimings.replyTimeoutMs = 2000;
        relayTimings.dataEndTimeoutMs = 2000;
    }

    void TearDown() override {
        CloseLogFile();
        uiHooks = UiHooks{};
        if (chdir(savedCwd.c_str()) != 0) {
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Path(const std::string& rel) const { return dir + "/" + rel; }
    void Mkdir(const std::string& rel) const { fs::create_directories(Path(rel)); }
    void WriteIni(const std::string& content) const { WriteFile(ini, content); }
    std::string Window() const {
        SettingsTextGuard guard;
        return Captured();
    }
    std::string LogFileText() const { return ReadFile(relaySettings.LogName); }
};

}  // namespace testsupport
