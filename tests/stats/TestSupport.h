// Shared pieces of the stats tests: a private scratch directory, the PHP report server as a
// child process, and recording stand-ins for the message boxes and the event pump.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/EventPump.h"
#include "common/MessageBoxes.h"

// A fresh directory under the system's temporary directory, removed with everything in it.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string Sub(const std::string& aName) const;  // makes the subdirectory, returns its path

 private:
  std::string FPath;
};

std::string ReadFileBytes(const std::string& aPath);
void WriteFileBytes(const std::string& aPath, const std::string& aData);
// Names in a directory (no "." and ".."), sorted.
std::vector<std::string> ListDir(const std::string& aPath);
bool PathExists(const std::string& aPath);  // without following a final link

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
int FreeLocalPort();

// A child process started with extra environment variables, output to a log file; killed and
// reaped by the destructor.
class TChildProcess {
 public:
  TChildProcess(const std::vector<std::string>& aArgv, const std::map<std::string, std::string>& aEnv,
                const std::string& aLogFile);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  // Polls connect() until the port accepts or the child has died or aTimeout passed.
  bool WaitAccepting(int aPort, std::chrono::seconds aTimeout = std::chrono::seconds(60));
  const std::string& LogFile() const { return FLogFile; }

 private:
  pid_t FPid = -1;
  std::string FLogFile;
};

// PHP's built-in server running a router script on 127.0.0.1, body parsing off as the report
// server needs it.
class TPhpServer {
 public:
  TPhpServer(const std::string& aRouter, const std::map<std::string, std::string>& aEnv, const std::string& aLogFile);
  bool Started() const { return FStarted; }
  int Port() const { return FPort; }
  std::string Url(const std::string& aPath) const;
  std::string Log() const;

 private:
  int FPort;
  TChildProcess FProcess;
  bool FStarted;
};

struct TShownBox {
  std::string Caption;
  std::string Text;
  TMessageBoxKind Kind;
};

class TRecordingBoxes final : public TMessageBoxes {
 public:
  void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) override {
    Shown.push_back({aCaption, aText, aKind});
  }
  std::vector<TShownBox> Shown;
};

// ProcessMessages runs OnProcess, which is how a test plays events arriving during a wait.
class TScriptedPump final : public TEventPump {
 public:
  void ProcessMessages() override;
  void Idle(std::chrono::milliseconds aMax) override;
  void Wake() override {}
  std::function<void()> OnProcess;
  int ProcessCount = 0;
};

// Paths of the checked-in scripts.
std::string ServerScript();       // server/upload.php
std::string TestScript(const std::string& aName);  // tests/stats/<name>
