// What pairs the agent with its box: addresses, licence numbers and the
// shared key. Kept in the credential table and in "zlv.ini"; a complete
// settings file wins, the database refills an incomplete one. Only the
// settings file carries the reset and restored flags.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

class QSettings;

class Credentials : public QObject {
  Q_OBJECT

 public:
  // Works on the settings file at settingsPath ("<envPrefix>zlv.ini" in the
  // data folder) and the default database connection.
  explicit Credentials(QString settingsPath);

  // boxIpOverride replaces the stored box address for this run only.
  bool load(const std::optional<QString>& boxIpOverride = std::nullopt);

  // KVN_OK or KVN_E_FAILED; on failure nothing changes anywhere.
  std::uint32_t saveCredentials(std::int32_t licenseStorage, std::int32_t licenseAgent,
                                const QString& boxIp, const QString& datanode,
                                const QString& cryptkey);

  // KVN_OK, or KVN_E_EXCEPTION when the settings file cannot be written.
  std::uint32_t setResetAgent(bool reset);

  // The values change at run time (a new box address from the channel's
  // discovery, the reset flag from the box) while backups read them on
  // their threads: each getter returns a copy taken under the lock.
  QString cryptkey() const;
  QString datanode() const;
  QString boxIp() const;
  bool hasBoxIp() const { return !boxIp().isEmpty(); }
  std::int32_t licenseAgent() const;
  std::int32_t licenseStorage() const;
  bool resetAgent() const;
  bool restoredAgent() const;
  // The box's host name with %1 for the storage licence ("zelvo/tessel_host"
  // in the settings file); empty, the default, means there is none to ask.
  QString tesselHostPattern() const;
  const QString& settingsPath() const { return settingsPath_; }

 public slots:
  void saveNewBoxIP(const QString& boxIp);
  void saveNewDatanode(const QString& host, int port);

 private:
  struct Values {
    std::int32_t licenseStorage = 0;
    std::int32_t licenseAgent = 0;
    QString cryptkey;
    QString datanode;
    QString boxIp;
  };

  // False (logged, the file set aside) when the settings file is damaged.
  bool checkSettingsFile();
  bool loadFromDatabase(Values* values);
  // Writable, and not a damaged file that could not be set aside.
  bool settingsWritable() const;
  // Writes the keys when the file is writable; returns whether it was.
  bool writeSettings(const QList<std::pair<const char*, QVariant>>& keys);
  void writeAllSettings(const Values& values);
  void updateColumn(const char* statement, const char* placeholder, const QString& value);
  void take(const Values& values);
  void logValues() const;

  const QString settingsPath_;
  // A damaged settings file stayed in place: it is never written over.
  std::atomic<bool> settingsFrozen_{false};
  // Guards the values below.
  mutable std::mutex mutex_;
  // Keeps two threads from writing the settings file at once.
  std::mutex fileMutex_;
  QString cryptkey_;
  QString datanode_;
  QString boxIp_;
  std::int32_t licenseAgent_ = 0;
  std::int32_t licenseStorage_ = 0;
  bool resetAgent_ = false;
  bool restoredAgent_ = false;
  QString tesselHostPattern_;
};
