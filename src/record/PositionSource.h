// Where the field log's positions come from: gpsd, watched through libgps on a thread of its own,
// keeping the latest fix and how old it is.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "record/LogRow.h"

struct gps_fix_t;

enum class TGpsState { NoGpsd, NoFix, Fix2D, Fix3D };

// "no gpsd", "no fix", "2D fix", "3D fix".
std::string_view GpsStateText(TGpsState aState);

class TPositionSource {
 public:
  virtual ~TPositionSource() = default;
  // Any thread, at once: the position now, Mode None when there is none.
  virtual TPosition Current() const = 0;
  virtual TGpsState State() const = 0;
};

struct TGpsdAddress {
  std::string Host = "localhost";
  std::string Port = "2947";
  std::string Text() const;  // "localhost:2947", "[::1]:2947"
};

// "HOST:PORT", "HOST", "[IPv6]:PORT" or "[IPv6]"; none for an empty host or a port that is not a
// number from 1 to 65535.
std::optional<TGpsdAddress> ParseGpsdAddress(std::string_view aText);

// libgps's fix of a TPV report as a position: a field that is not a finite number in its range
// is left out, and without a usable latitude and longitude there is no position at all.
TPosition PositionOfFix(const gps_fix_t& aFix);

class TGpsdPositionSource final : public TPositionSource {
 public:
  struct TOptions {
    TGpsdAddress Address;
    // A fix older than this counts as none.
    std::chrono::milliseconds MaxFixAge{2000};
    // Between the end of a connection (or a refused one) and the next try.
    std::chrono::milliseconds ReconnectDelay{3000};
    // Called on the source's thread whenever State() changes, and once at the first answer or
    // refusal; aDetail says why in words ("no gpsd at localhost:2947 (Connection refused)").
    std::function<void(TGpsState aState, const std::string& aDetail)> OnStateChange;
  };

  // Starts the thread; it connects at once.
  explicit TGpsdPositionSource(TOptions aOptions);
  // Stops and joins the thread, whatever it is waiting for.
  ~TGpsdPositionSource() override;
  TGpsdPositionSource(const TGpsdPositionSource&) = delete;
  TGpsdPositionSource& operator=(const TGpsdPositionSource&) = delete;

  TPosition Current() const override;
  TGpsState State() const override;

 private:
  void Run(std::stop_token aStop);
  // One connection, from the connect to its end; returns the reason it ended or was refused.
  std::string Watch(std::stop_token aStop);
  // Waits up to aLimit or until the stop is asked for; true when asked.
  bool Rest(std::stop_token aStop, std::chrono::milliseconds aLimit);
  void Report(const std::string& aDetail);
  void SetConnected(bool aConnected);
  void StoreFix(const TPosition& aPosition);
  TGpsState StateLocked(std::chrono::steady_clock::time_point aNow) const;

  TOptions FOptions;
  int FWakeFd = -1;  // eventfd: written to stop the thread's waits

  mutable std::mutex FLock;
  bool FConnected = false;
  std::chrono::steady_clock::time_point FConnectedAt{};
  TPosition FFix;  // the latest TPV's position (Mode None for a report without one)
  std::chrono::steady_clock::time_point FFixReceived{};
  std::optional<TGpsState> FReported;

  std::jthread FThread;  // last: stops first
};
