// Pairs the agent with a box: one GET of the box's registration page,
// whose JSON reply carries the credentials.
#pragma once

#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>

class QNetworkAccessManager;

class Enrolment {
 public:
  struct Identity {
    QString deviceName;  // the machine's host name
    bool nasAgent = false;
    QString version;  // numeric, "3.6.2.2"
  };

  // What the box gave the agent.
  struct Pairing {
    std::int32_t licenseStorage = 0;
    std::int32_t licenseAgent = 0;
    QString boxIp;
    QString datanode;
    QString cryptkey;
  };
  // Keeps a pairing; returns 0 or a result code. Called only for a valid
  // reply, so that a failed attempt leaves the previous pairing in place.
  using Store = std::function<std::uint32_t(const Pairing&)>;

  // The manager's certificate-error handling is the caller's: boxes present
  // self-signed certificates.
  Enrolment(QNetworkAccessManager& manager, Identity identity, Store store);

  // Tries https and, when the call itself fails, plain http. 0 when the
  // credentials were stored.
  std::uint32_t enrol(const QString& boxIp);

  // One attempt. KVN_E_NETWORK when the call failed, KVN_E_INVALID_REPLY for
  // a reply that is not the expected JSON or reports an error, else the
  // result of the store.
  std::uint32_t registerAgent(const QString& boxIp, bool useHttp);

  QUrl registrationUrl(const QString& boxIp, bool useHttp) const;

 private:
  std::uint32_t handleReply(const QUrl& url, const QByteArray& body, const QString& boxIp);

  QNetworkAccessManager& manager_;
  Identity identity_;
  Store store_;
};
