#include "enrolment.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <cstdio>
#include <memory>

#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace {

QString statusText(const QJsonValue& status) {
  if (status.isObject()) return QJsonDocument(status.toObject()).toJson(QJsonDocument::Compact);
  if (status.isArray()) return QJsonDocument(status.toArray()).toJson(QJsonDocument::Compact);
  return status.toVariant().toString();
}

}  // namespace

Enrolment::Enrolment(QNetworkAccessManager& manager, Identity identity, Store store)
    : manager_(manager), identity_(std::move(identity)), store_(std::move(store)) {}

std::uint32_t Enrolment::enrol(const QString& boxIp) {
  std::uint32_t result = registerAgent(boxIp, false);
  if (result == KVN_E_NETWORK) result = registerAgent(boxIp, true);
  return result;
}

QUrl Enrolment::registrationUrl(const QString& boxIp, bool useHttp) const {
  // The query values are put in as they are: the box reads them unescaped.
  return QUrl(QString("%1://%2/zelvo/php/scripts/register_agent.php?device_name=%3&box=%4&"
                      "version=%5_%6")
                  .arg(useHttp ? "http" : "https", boxIp, identity_.deviceName,
                       identity_.nasAgent ? "1" : "0", "Windows", identity_.version));
}

std::uint32_t Enrolment::registerAgent(const QString& boxIp, bool useHttp) {
  KLOG_I("register agent on box %s", qPrintable(boxIp));
  const QUrl url = registrationUrl(boxIp, useHttp);
  QNetworkRequest request(url);
  if (!useHttp) {
    QSslConfiguration tls = request.sslConfiguration();
    tls.setProtocol(QSsl::TlsV1_2);
    request.setSslConfiguration(tls);
  }

  std::unique_ptr<QNetworkReply> reply(manager_.get(request));
  QEventLoop loop;
  QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
  if (!reply->isFinished()) loop.exec();

  const QByteArray urlText = url.toString().toLocal8Bit();
  if (reply->error() != QNetworkReply::NoError) {
    KLOG_F("call to '%s' failed: %s", urlText.constData(), qPrintable(reply->errorString()));
    return KVN_E_NETWORK;
  }
  return handleReply(url, reply->readAll(), boxIp);
}

std::uint32_t Enrolment::handleReply(const QUrl& url, const QByteArray& body,
                                     const QString& boxIp) {
  const QByteArray urlText = url.toString().toLocal8Bit();
  QJsonParseError parseError;
  const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    KLOG_F("reply from '%s' is invalid: %s", urlText.constData(),
           qPrintable(parseError.errorString()));
    return KVN_E_INVALID_REPLY;
  }
  // A JSON array or scalar has no keys at all; it is as invalid as an object
  // without "status".
  const QJsonObject reply = document.object();
  if (!reply.contains("status")) {
    KLOG_F("reply from '%s' is invalid: missing key status", urlText.constData());
    return KVN_E_INVALID_REPLY;
  }
  const QJsonValue status = reply.value("status");
  if (!status.isNull()) {
    const QString text = statusText(status);
    KLOG_F("server-side error on register agent: '%s'", qPrintable(text));
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
    return KVN_E_INVALID_REPLY;
  }
  KLOG_I("Agent registered on box %s", qPrintable(boxIp));
  return store_({reply.value("license_key").toVariant().toInt(),
                 reply.value("device").toVariant().toInt(), boxIp, reply.value("dn").toString(),
                 reply.value("cryptkey").toString()});
}
