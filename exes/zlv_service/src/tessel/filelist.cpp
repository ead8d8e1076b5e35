#include "tessel/filelist.h"

#include <QDir>
#include <cstring>

#include "filesystem/dir.h"
#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"
#include "kvn_network/wire_path.h"
#include "kvn_platform/text_path_qt.h"
#include "tessel/tesselreplier.h"

using namespace kvn_network::tessel;
using kvn_network::fromWirePath;
using kvn_network::toWirePath;

namespace {

constexpr const char* kFolderType = "folder";
constexpr const char* kFileType = "file";

QJsonObject entry(const QString& name, const char* type) {
  return {{query_key::kName, name}, {key::kType, type}};
}

}  // namespace

FileListProcessor::FileListProcessor(DriveLister drives) : drives_(std::move(drives)) {}

void FileListProcessor::process(const QJsonObject& query, TesselReplier& replier) {
  const QString path = toWirePath(query.value(query_key::kPath).toString());
  const bool root = path.isEmpty() || path == kRootPath;
  const QJsonArray entries =
      root ? listDrives(query.value(query_key::kShowRemovable).toBool()) : listFolder(path);
  replyInPages({{key::kOk, true},
                {query_key::kPath, root ? QString(kRootPath) : path},
                {query_key::kCountTotal, entries.size()}},
               entries, replier);
}

QJsonArray FileListProcessor::listDrives(bool includeRemovable) const {
  QJsonArray entries;
  std::vector<std::string> mountPoints;
  int error = 0;
  if (!drives_(includeRemovable, mountPoints, &error)) {
    KLOG_W("cannot list the drives: %s", std::strerror(error));
    return entries;
  }
  // A drive is browsed like a folder, so it is offered as one.
  for (const auto& mountPoint : mountPoints) {
    entries.append(entry(toWirePath(kvn_platform::toTextPath(mountPoint)), kFolderType));
  }
  return entries;
}

QJsonArray FileListProcessor::listFolder(const QString& path) {
  KLOG_D("get list of files in %s", qPrintable(path));
  QJsonArray entries;
  const QString native = fromWirePath(path);
  // A relative path would be read from wherever the service happens to run.
  if (!QDir::isAbsolutePath(native)) {
    KLOG_W("cannot list folder '%s': not an absolute path", qPrintable(path));
    return entries;
  }
  // The file system would end the path at the NUL and list another folder.
  if (native.contains(QChar(u'\0'))) {
    KLOG_W("cannot list folder '%s': the path holds a NUL character", qPrintable(path));
    return entries;
  }
  const kvn_agent_filesystem::KvnDirWindows folder(native, {}, {}, {});
  for (const auto& info : folder.list()) {
    if (info->isDirectory()) {
      entries.append(entry(info->fileName(), kFolderType));
    } else {
      QJsonObject file = entry(info->fileName(), kFileType);
      file.insert(query_key::kSize, qint64(info->size()));
      entries.append(file);
    }
  }
  return entries;
}

void FileListProcessor::replyInPages(const QJsonObject& base, const QJsonArray& entries,
                                     TesselReplier& replier) {
  const auto send = [&](const QJsonArray& page, bool done) {
    QJsonObject answer = base;
    answer.insert(query_key::kEntries, page);
    answer.insert(query_key::kCount, page.size());
    replier.reply(answer, done);
  };
  QJsonArray page;
  for (const auto& item : entries) {
    page.append(item);
    if (page.size() == kFileListPage) {
      send(page, false);
      page = QJsonArray();
    }
  }
  send(page, true);
}
