// Paths named by the box, one table for the three places that take them:
// a restoration into a target folder (placement and staging, exactly as the
// restoration runs them), the external deletion (through the simulated
// box) and the folder listing of the control channel. A restoration either
// refuses a path or keeps the file below its target; the listing refuses
// what is not an absolute path or cannot be one; the deletion only ever
// forgets records and signature files named by a digest, so nothing on
// the disk outside the signatures folder may change.
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include "file_operations_fixture.h"
#include "fileops/restoreplacement.h"
#include "fileops/stagedfile.h"
#include "kvn_platform/text_path.h"
#include "kvn_platform/text_path_qt.h"
#include "recording_tessel_link.h"
#include "tessel/filelist.h"
#include "tessel/tesselreplier.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kTime = 1650000000;

enum class Restore { Refused, Confined };
enum class Listing { Refused, Answered };

struct Row {
  const char* what;
  QString path;  // as the agent has it after the wire's "|" became "/"
  Restore restore;
  QStringList landsAt;  // names below the target, for a confined file
  Listing listing;
};

QString repeated(QChar c, int n) { return QString(n, c); }

// Over NAME_MAX in one name; over PATH_MAX in all, every name allowed.
const QString kLongName = repeated(u'n', 300);
QStringList deepNames() {
  QStringList names;
  for (int i = 0; i < 20; ++i) names << QString::number(i) + repeated(u'd', 240);
  return names << "deep.txt";
}
const QString kInvalidUtf8 = kvn_platform::toTextPath(std::string_view("bad-\xff\xfe.txt"));

std::vector<Row> rows() {
  using R = Restore;
  using L = Listing;
  const QChar nul(u'\0');
  return {
      {"parent names", "/x/../../escape.txt", R::Refused, {}, L::Answered},
      {"a trailing parent name", "/x/..", R::Refused, {}, L::Answered},
      {"percent-encoded parents",
       "/%2e%2e/%2e%2e/encoded.txt",
       R::Confined,
       {"%2e%2e", "%2e%2e", "encoded.txt"},
       L::Answered},
      {"backslashes",
       "/..\\..\\backslash.txt",
       R::Confined,
       {"..\\..\\backslash.txt"},
       L::Answered},
      {"empty and dot names",
       "//dots//./a/./dot.txt",
       R::Confined,
       {"dots", "a", "dot.txt"},
       L::Answered},
      {"a relative path",
       "rel/sub/relative.txt",
       R::Confined,
       {"rel", "sub", "relative.txt"},
       L::Refused},
      {"a relative climb", "../relative.txt", R::Refused, {}, L::Refused},
      {"a link planted on the way", "/via/link/secret.txt", R::Refused, {}, L::Answered},
      {"a link at the destination",
       "/at/secret.txt",
       R::Confined,
       {"at", "secret.txt"},
       L::Answered},
      {"a name over NAME_MAX", "/long/" + kLongName, R::Refused, {}, L::Answered},
      {"a path over PATH_MAX", "/" + deepNames().join(u'/'), R::Confined, deepNames(), L::Answered},
      {"invalid UTF-8", "/" + kInvalidUtf8, R::Confined, {kInvalidUtf8}, L::Answered},
      {"a NUL that leaves a parent name",
       QString("/..%1x/..%1x/nul.txt").arg(nul),
       R::Refused,
       {},
       L::Refused},
      {"a NUL inside a name", QString("/nul%1name.txt").arg(nul), R::Refused, {}, L::Refused},
      {"no file name", "/only-folder/", R::Refused, {}, L::Answered},
      {"the root alone", "/", R::Refused, {}, L::Answered},
  };
}

// The bytes of the file at names below root, read without following a link
// and without ever forming the whole path (it may be over PATH_MAX).
std::optional<QByteArray> readBelow(const QString& root, const QStringList& names) {
  int at = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; at >= 0 && i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    const int next = ::openat(at, kvn_platform::toNativePath(names[i]).c_str(),
                              (last ? O_RDONLY : O_RDONLY | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
    ::close(at);
    at = next;
  }
  if (at < 0) return std::nullopt;
  QFile file;
  std::optional<QByteArray> content;
  if (file.open(at, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) content = file.readAll();
  return content;
}

// Every name below folder (links not followed), with the file contents.
QStringList snapshot(const QString& folder) {
  QStringList all;
  QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    QFile file(path);
    const bool isFile = !it.fileInfo().isSymLink() && it.fileInfo().isFile();
    all << path + (isFile && file.open(QIODevice::ReadOnly) ? " " + file.readAll() : QString());
  }
  all.sort();
  return all;
}

class HostilePaths : public FileOperationsE2E {
 protected:
  void SetUp() override {
    FileOperationsE2E::SetUp();
    if (HasFatalFailure()) return;
    target_ = scratch("target");
    outside_ = scratch("outside");
    plantLinksOut(target_, outside_);
  }

  // What the restoration does with one path: place it, stage it, write it
  // and commit it. False when any step refuses.
  bool restoreOne(const QString& path, const QByteArray& content) {
    QString reason;
    const auto placement = RestoreTarget(target_).place(path, &reason);
    if (!placement) return false;
    StagedFile::Failure failure;
    const auto staged = StagedFile::open(*placement, &failure);
    if (!staged) return false;
    staged->file().write(content);
    return staged->commit(static_cast<std::int32_t>(kTime), &failure);
  }

  // The pages the listing answers for path, sent as the box would.
  std::vector<QJsonObject> list(const QString& path) {
    kvn_test::RecordingTesselLink link;
    {
      TesselReplier replier(link, 1);
      FileListProcessor([](bool, std::vector<std::string>&, int*) {
        return true;
      }).process({{"type", "file_list"}, {"path", QString(path).replace(u'/', u'|')}}, replier);
    }
    std::vector<QJsonObject> pages;
    for (const auto& message : link.messagesOfType("response"))
      pages.push_back(message.object.value("response").toObject());
    return pages;
  }

  QString target_;
  QString outside_;
};

TEST_F(HostilePaths, EachPathIsRefusedOrKeptInsideByEveryTaker) {
  const QStringList outsideBefore = snapshot(outside_);
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.what);
    const QByteArray content = QByteArray("from the box: ") + row.what;
    const bool restored = restoreOne(row.path, content);
    EXPECT_EQ(restored, row.restore == Restore::Confined);
    if (row.restore == Restore::Confined) {
      EXPECT_EQ(readBelow(target_, row.landsAt), content);
    }

    const std::size_t mark = log().size();
    const auto pages = list(row.path);
    ASSERT_FALSE(pages.empty());
    EXPECT_TRUE(pages.back().value("ok").toBool());
    if (row.listing == Listing::Refused) {
      EXPECT_EQ(pages.back().value("count_total").toInt(), 0);
      EXPECT_NE(log().find("cannot list folder", mark), std::string::npos) << log().substr(mark);
    }
  }
  EXPECT_EQ(snapshot(outside_), outsideBefore);
  EXPECT_FALSE(QFileInfo::exists(scratch("escape.txt")));
  EXPECT_FALSE(QFileInfo::exists(target_ + "/../../nul.txt"));
  EXPECT_FALSE(QFileInfo::exists(scratch("relative.txt")));
  EXPECT_FALSE(QFileInfo(target_ + "/at/secret.txt").isSymLink());
  EXPECT_TRUE(stagedLeftovers(target_).isEmpty());

  // The external deletion takes the same paths from the box in one run.
  startBoxAt("127.0.25.10");
  std::vector<std::pair<std::int64_t, QString>> named;
  for (const Row& row : rows()) named.emplace_back(7, row.path);
  fileOperationsBox().prepareExternalDeletion("ext-hostile", named);
  plantVersion(7, "/kept.txt", "kept", kTime);
  restore("op-kept", plan(7, {"/kept.txt"}, 0), target_);
  const QStringList before = snapshot(target_) + snapshot(outside_);
  const std::size_t mark = log().size();
  ASSERT_EQ(manager().createExternalDeletion("ext-hostile"), 0u);
  waitUntilIdle(manager());
  EXPECT_TRUE(record().waitUntil(
      [](const boxsim::Record& r) { return r.notes().contains("confirm 0x62000001"); }));
  EXPECT_EQ(snapshot(target_) + snapshot(outside_), before);
  // Every path was taken and looked up; none ended the run.
  std::size_t looked = 0;
  for (std::size_t at = log().find("Signature not found", mark); at != std::string::npos;
       at = log().find("Signature not found", at + 1))
    ++looked;
  EXPECT_EQ(looked, rows().size()) << log().substr(mark);
}

}  // namespace
}  // namespace kvn_e2e
