// The NetworkManager service's bus side: one D-Bus connection, its signal handlers and the dial
// state, all on the service's bus thread.
#pragma once

#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtCore/QVariant>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "dialup/NmDialupService.h"

using TNmSettings = QMap<QString, QVariantMap>;

class TNmBus : public QObject {
  Q_OBJECT

 public:
  explicit TNmBus(const TNmServiceOptions& aOptions);
  ~TNmBus() override;

  bool Connected() const { return FConnection.isConnected(); }

  uint32_t EnumEntries(std::vector<std::string>& aNames);
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections);
  uint32_t FindEntry(const std::string& aEntryName);
  uint32_t GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry);
  uint32_t SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry);
  uint32_t GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned);
  uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn);
  uint32_t HangUp(TRasHandle aConn);
  uint32_t AddNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId);
  // From any thread.
  void RemoveNotification(TRasNotificationId aId);
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress);

 private Q_SLOTS:
  void OnActiveStateChanged(const QDBusMessage& aMessage);
  void OnVpnStateChanged(const QDBusMessage& aMessage);
  void OnDeviceStateChanged(const QDBusMessage& aMessage);
  void OnPropertiesChanged(const QDBusMessage& aMessage);
  void OnLegacyPropertiesChanged(const QDBusMessage& aMessage);
  void OnInterfacesAdded(const QDBusMessage& aMessage);
  void OnInterfacesRemoved(const QDBusMessage& aMessage);

 private:
  struct TProfile {
    QString Path;
    QString Id;
    QString Type;
    TNmSettings Settings;
  };
  struct TDial {
    TRasHandle Handle = INVALID_RAS_HANDLE;
    TRasDialCallback Callback;
    int LastStep = -1;
    uint32_t ActiveState = 0;
    QSet<QString> Devices;
    std::map<QString, uint32_t> DeviceStates;
    uint32_t Error = 0;  // a failure reason seen before the activation ended
    bool Done = false;
  };

  QDBusMessage Call(const QString& aPath, const QString& aInterface, const QString& aMethod,
                    const QVariantList& aArgs = {});
  uint32_t GetProperty(const QString& aPath, const QString& aInterface, const QString& aName, QVariant& aValue);
  uint32_t GetAllProperties(const QString& aPath, const QString& aInterface, QVariantMap& aValues);
  uint32_t ListProfiles(QList<TProfile>& aProfiles);
  uint32_t FindProfile(const std::string& aEntryName, TProfile& aProfile);
  uint32_t ActiveConnectionPaths(QStringList& aPaths);
  QString PickDevice(const QString& aProfilePath);
  TRasHandle HandleFor(const QString& aPath);
  QString PathFor(TRasHandle aHandle) const;

  void ActiveStateChanged(const QString& aPath, uint32_t aState, uint32_t aReason);
  void ActiveDevicesChanged(const QString& aPath, const QVariant& aDevices);
  void ActiveListChanged(const QVariant& aList);
  void ConnectionGone(const QString& aPath);
  void Step(const std::shared_ptr<TDial>& aDial, TRASConnState aState, uint32_t aError = 0);
  void EndDial(const std::shared_ptr<TDial>& aDial, uint32_t aReasonCode);
  void FireNotifications(const QString& aPath);

  const TNmServiceOptions FOptions;
  const QString FConnectionName;
  QDBusConnection FConnection;

  std::map<QString, TRasHandle> FHandles;
  std::map<TRasHandle, QString> FPaths;
  TRasHandle FNextHandle = 1;
  std::map<QString, std::shared_ptr<TDial>> FDials;

  std::mutex FNotifyLock;  // held while a notification runs
  std::map<TRasNotificationId, std::pair<QString, std::function<void()>>> FNotifications;
  TRasNotificationId FNextNotification = 1;
};

class TNmBusThread : public QThread {
 public:
  explicit TNmBusThread(TNmServiceOptions aOptions) : FOptions(std::move(aOptions)) {}
  // Valid from the start of the thread until it ends.
  TNmBus* Bus() { return FReady.get_future().get(); }

 protected:
  void run() override;

 private:
  const TNmServiceOptions FOptions;
  std::promise<TNmBus*> FReady;
};
