// The NetworkManager service's bus side: one D-Bus connection on the service's own thread, every
// call sent without waiting, the answers and signals kept in the cache, and the dials' progress.
#pragma once

#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtCore/QVariant>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "dialup/NmCache.h"
#include "dialup/NmDialupService.h"

using TNmSettings = QMap<QString, QVariantMap>;

class TNmBus : public QObject {
  Q_OBJECT

 public:
  TNmBus(const TNmServiceOptions& aOptions, TNmCache& aCache);
  ~TNmBus() override;

  // Any thread: aTask runs on the bus thread, after the tasks posted before it.
  void Post(std::function<void()> aTask);

  // The rest on the bus thread only.
  void StartDial(TRasHandle aConn, const QString& aProfilePath, TRasDialCallback aCallback);
  // aPath is empty while the dial's activation has not been answered.
  void HangUp(TRasHandle aConn, const QString& aPath, TRasHangUpRefused aRefused);
  void UpdateProfile(const QString& aPath, const TRasEntry& aEntry, std::function<void(uint32_t)> aDone);

 public Q_SLOTS:
  // Connects to the bus, watches the service's name and learns its lists.
  void Start();

 private Q_SLOTS:
  void RunTasks();
  void OnOwnerChanged(const QString& aService, const QString& aOldOwner, const QString& aNewOwner);
  void OnActiveStateChanged(const QDBusMessage& aMessage);
  void OnVpnStateChanged(const QDBusMessage& aMessage);
  void OnDeviceStateChanged(const QDBusMessage& aMessage);
  void OnPropertiesChanged(const QDBusMessage& aMessage);
  void OnLegacyPropertiesChanged(const QDBusMessage& aMessage);
  void OnInterfacesRemoved(const QDBusMessage& aMessage);
  void OnNewProfile(const QDBusMessage& aMessage);
  void OnProfileRemoved(const QDBusMessage& aMessage);
  void OnProfileUpdated(const QDBusMessage& aMessage);
  void OnProfileGone(const QDBusMessage& aMessage);

 private:
  struct TDial {
    TRasHandle Handle = INVALID_RAS_HANDLE;
    TRasDialCallback Callback;
    QString ProfilePath;
    QString Path;  // the active connection, once the service has answered the activation
    int LastStep = -1;
    uint32_t ActiveState = 0;
    std::map<QString, uint32_t> DeviceStates;
    uint32_t Error = 0;  // a failure reason seen before the activation ended
    bool Done = false;
    TRasHangUpRefused HangUpWanted;  // set when hung up before the activation was answered
    bool HangUpPending = false;
  };
  using TDialPtr = std::shared_ptr<TDial>;
  // What a reply to a learning request gives: 0, or the code that makes the lists unknown.
  using TLearnReply = std::function<uint32_t(const QDBusMessage&)>;

  void Send(const QString& aPath, const QString& aInterface, const QString& aMethod, const QVariantList& aArgs,
            std::function<void(const QDBusMessage&)> aDone);
  // A request whose answer goes into the lists; the lists are known once every such request of
  // the present learning has been answered.
  void Learn(const QString& aPath, const QString& aInterface, const QString& aMethod, const QVariantList& aArgs,
             TLearnReply aReply);
  void LearnAll();
  void LearnFailed(uint32_t aCode);
  void LoadProfile(const QString& aPath);
  void LoadSecrets(const QString& aPath, const QString& aType);
  void LoadActive(const QString& aPath);
  void LoadIp4(const QString& aPath);
  void Vanished();

  void ProfileList(const QStringList& aPaths);
  // The service's list of active connections; aReread: those known already are read again too.
  void ActiveList(const QStringList& aPaths, bool aReread);
  void ActiveProperties(const QString& aPath, const QVariantMap& aProperties);
  void Ip4Properties(const QString& aPath, const QVariantMap& aProperties);
  void PropertiesChanged(const QString& aPath, const QString& aInterface, const QVariantMap& aChanged);
  void ConnectionGone(const QString& aPath);

  void PickDevice(const TDialPtr& aDial, std::shared_ptr<QStringList> aDevices, int aIndex);
  void Activate(const TDialPtr& aDial, const QString& aDevice);
  void Deactivate(const QString& aPath, TRasHangUpRefused aRefused);
  TDialPtr DialOn(const QString& aPath) const;
  void ActiveStateChanged(const QString& aPath, uint32_t aState, uint32_t aReason);
  void Step(const TDialPtr& aDial, TRASConnState aState, uint32_t aError = 0);
  void EndDial(const TDialPtr& aDial, uint32_t aReasonCode);
  void Forget(const TDialPtr& aDial);

  const TNmServiceOptions FOptions;
  const QString FServiceName;
  const QString FConnectionName;
  TNmCache& FCache;
  QDBusConnection FConnection;

  std::mutex FTaskLock;
  std::deque<std::function<void()>> FTasks;

  // The learning in progress: answers of an older one are dropped.
  uint64_t FGeneration = 0;
  int FOutstanding = 0;
  bool FSettled = false;  // the lists have been learnt (or found unknowable) once

  std::map<QString, TNmSettings> FSettings;  // each profile's settings, to update it whole
  std::map<QString, QSet<QString>> FActiveDevices;
  std::map<QString, QVariantMap> FIp4;
  std::map<TRasHandle, TDialPtr> FDials;
};

class TNmBusThread : public QThread {
 public:
  TNmBusThread(TNmServiceOptions aOptions, TNmCache& aCache) : FOptions(std::move(aOptions)), FCache(aCache) {}
  // Valid from the start of the thread until it ends.
  TNmBus* Bus() { return FReady.get_future().get(); }
  // Until the bus object is gone; after quit(). The thread's own wait() says the same, but in a
  // way the thread checker cannot see.
  void WaitForBusGone() { FGone.get_future().wait(); }

 protected:
  void run() override;

 private:
  const TNmServiceOptions FOptions;
  TNmCache& FCache;
  std::promise<TNmBus*> FReady;
  std::promise<void> FGone;
};
