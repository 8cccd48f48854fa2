// Test helpers: a thread-safe log of the component's events that tests wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialup/XuRas.h"

struct TRasEventRecord {
  std::string Kind;  // "step", "connect", "disconnect", "error", "learnt"
  uint32_t State = 0;
  uint32_t Error = 0;
  std::string Text;
  std::thread::id Thread;
};

class TRasEventLog {
 public:
  // Binds all the events of aRas to this log.
  void Bind(TXuCustomRas& aRas) {
    aRas.SetOnRasDialFunction([this](uint32_t, TRASConnState aState, uint32_t aError) {
      Add({"step", aState, aError, {}, std::this_thread::get_id()});
    });
    aRas.SetOnConnect([this](TXuCustomRas*) { Add({"connect", 0, 0, {}, std::this_thread::get_id()}); });
    aRas.SetOnDisconnect([this](TXuCustomRas*) { Add({"disconnect", 0, 0, {}, std::this_thread::get_id()}); });
    aRas.SetOnRasError([this](const std::string& aText) { Add({"error", 0, 0, aText, std::this_thread::get_id()}); });
    aRas.SetOnListsLearnt([this](TXuCustomRas*) { Add({"learnt", 0, 0, {}, std::this_thread::get_id()}); });
  }

  void Add(TRasEventRecord aRecord) {
    {
      std::lock_guard lock(FLock);
      FRecords.push_back(std::move(aRecord));
    }
    FChanged.notify_all();
  }

  // Waits until aDone holds for the records so far; false after the time-out.
  bool WaitUntil(const std::function<bool(const std::vector<TRasEventRecord>&)>& aDone,
                 std::chrono::milliseconds aTimeout = std::chrono::seconds(20)) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, aTimeout, [&] { return aDone(FRecords); });
  }
  bool WaitForKind(const std::string& aKind, size_t aCount = 1) {
    return WaitUntil([&](const auto& r) { return Count(r, aKind) >= aCount; });
  }
  // Until a step with this state arrives.
  bool WaitForStep(uint32_t aState) {
    return WaitUntil([&](const auto& r) {
      for (const auto& e : r)
        if (e.Kind == "step" && e.State == aState) return true;
      return false;
    });
  }

  std::vector<TRasEventRecord> Records() const {
    std::lock_guard lock(FLock);
    return FRecords;
  }
  size_t CountOf(const std::string& aKind) const {
    std::lock_guard lock(FLock);
    return Count(FRecords, aKind);
  }
  std::vector<uint32_t> Steps() const {
    std::vector<uint32_t> states;
    for (const auto& e : Records())
      if (e.Kind == "step") states.push_back(e.State);
    return states;
  }

  static size_t Count(const std::vector<TRasEventRecord>& aRecords, const std::string& aKind) {
    size_t n = 0;
    for (const auto& e : aRecords) n += e.Kind == aKind;
    return n;
  }

 private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TRasEventRecord> FRecords;
};
