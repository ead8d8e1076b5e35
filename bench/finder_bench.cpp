// The analysis of an unchanged tree (every file's version known) against
// `find` listing the same tree with times and sizes, plus the memory the
// versions hash takes per known file.
//
//   finder_bench [--tree_files=200000] [--tree_folders=2000] [benchmark flags]
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <utime.h>

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/file/fsnjob.h"
#include "backup/file/versions.h"
#include "kvn_log/log.h"

namespace {

int gFiles = 200000;
int gFolders = 2000;
constexpr time_t kMtime = 1600000000;

struct Setup {
  QTemporaryDir dir;
  QString tree;
  QSqlDatabase db;
  std::unique_ptr<FSNJob> job;
  double versionsBytesPerFile = 0;
};
Setup* gSetup = nullptr;
double gAnalyseSeconds = 0, gFindSeconds = 0;
int gAnalyseRuns = 0, gFindRuns = 0;

bool exec(QSqlDatabase& db, const QString& statement) {
  QSqlQuery query(db);
  if (query.exec(statement)) return true;
  std::fprintf(stderr, "%s failed\n", qPrintable(statement));
  return false;
}

// The folders and empty files, all with one modification time, and a job
// database that selects the tree and knows every file's version.
bool buildSetup(Setup& s) {
  s.tree = s.dir.filePath("tree");
  s.db = QSqlDatabase::addDatabase("QSQLITE", "finder_bench");
  s.db.setDatabaseName(s.dir.filePath("zlv.db"));
  if (!s.db.open()) return false;
  for (const char* statement :
       {"PRAGMA synchronous=OFF", "CREATE TABLE job (job_id BIGINT NOT NULL)",
        "CREATE TABLE sel_tem (sel_tem_id BIGINT NOT NULL)",
        "CREATE TABLE job_x_sel_tem (job_id bigint NOT NULL, sel_tem_id bigint NOT NULL)",
        "CREATE TABLE pattern (pattern_id BIGINT NOT NULL, pattern_data TEXT NOT NULL, "
        "pattern_type smallint)",
        "CREATE TABLE pattern_x_sel_tem (sel_tem_id BIGINT NOT NULL, pattern_id BIGINT NOT NULL)",
        "CREATE TABLE file (id_file INTEGER PRIMARY KEY, path TEXT NOT NULL, job_id BIGINT NOT "
        "NULL, lastwrite INTEGER DEFAULT NULL)",
        "INSERT INTO job VALUES (1)", "INSERT INTO sel_tem VALUES (1)",
        "INSERT INTO job_x_sel_tem VALUES (1, 1)", "INSERT INTO pattern_x_sel_tem VALUES (1, 1)"}) {
    if (!exec(s.db, statement)) return false;
  }
  QSqlQuery selected(s.db);
  selected.prepare("INSERT INTO pattern VALUES (1, ?, 0)");
  selected.addBindValue(QString(s.tree).replace('/', '|'));
  if (!selected.exec()) return false;

  s.db.transaction();
  QSqlQuery insert(s.db);
  insert.prepare("INSERT INTO file (path, job_id, lastwrite) VALUES (?, 1, ?)");
  const int perFolder = (gFiles + gFolders - 1) / gFolders;
  int made = 0;
  for (int d = 0; d < gFolders && made < gFiles; ++d) {
    const QString folder = QString("%1/folder%2").arg(s.tree).arg(d, 5, 10, QChar('0'));
    QDir().mkpath(folder);
    for (int f = 0; f < perFolder && made < gFiles; ++f, ++made) {
      const QString path = QString("%1/document-%2.txt").arg(folder).arg(f, 6, 10, QChar('0'));
      const QByteArray native = QFile::encodeName(path);
      std::FILE* out = std::fopen(native.constData(), "w");
      if (!out) return false;
      std::fclose(out);
      const utimbuf times{kMtime, kMtime};
      ::utime(native.constData(), &times);
      insert.addBindValue(path);
      insert.addBindValue(qint64(kMtime));
      if (!insert.exec()) return false;
    }
  }
  s.db.commit();

  // What the hash holds once loaded: the job keeps it for the whole run.
  const auto before = ::mallinfo2().uordblks;
  {
    FileVersions versions;
    loadVersions(s.db, 1, versions);
    s.versionsBytesPerFile = double(::mallinfo2().uordblks - before) / versions.size();
  }
  s.job = std::make_unique<FSNJob>(1, s.dir.filePath("Signatures"),
                                   std::make_shared<SnapshotContext>());
  return s.job->load(s.db) == 0;
}

void BM_AnalyseUnchangedTree(benchmark::State& state) {
  AnalysisCounters counters;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (gSetup->job->analyse(gSetup->db, counters) != 0 || counters.filesToBackup != 0 ||
        counters.totalFiles != gFiles) {
      state.SkipWithError("the analysis did not find the tree unchanged");
      break;
    }
    gAnalyseSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++gAnalyseRuns;
  }
  state.counters["files"] = gFiles;
  state.counters["versions_bytes_per_file"] = gSetup->versionsBytesPerFile;
}

void BM_FindSameTree(benchmark::State& state) {
  const std::string command =
      "find '" + gSetup->tree.toStdString() + "' -type f -printf '%T@ %s %p\\n' > /dev/null";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("find failed");
      break;
    }
    gFindSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++gFindRuns;
  }
}

BENCHMARK(BM_FindSameTree)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_AnalyseUnchangedTree)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::sscanf(argv[i], "--tree_files=%d", &gFiles) == 1) continue;
    if (std::sscanf(argv[i], "--tree_folders=%d", &gFolders) == 1) continue;
    argv[kept++] = argv[i];
  }
  argc = kept;
  if (gFiles < 1 || gFolders < 1) {
    std::fprintf(stderr, "tree sizes must be positive\n");
    return 2;
  }
  kvn_log::setLevel(kvn_log::Warning);
  benchmark::Initialize(&argc, argv);
  Setup setup;
  std::printf("building a tree of %d files in %d folders...\n", gFiles, gFolders);
  if (!setup.dir.isValid() || !buildSetup(setup)) {
    std::fprintf(stderr, "cannot build the tree\n");
    return 1;
  }
  gSetup = &setup;
  // Warm the directory cache once for both sides.
  AnalysisCounters warm;
  setup.job->analyse(setup.db, warm);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gAnalyseRuns && gFindRuns) {
    const double analyse = gAnalyseSeconds / gAnalyseRuns, find = gFindSeconds / gFindRuns;
    std::printf("analysis %.1f ms, find %.1f ms: ratio analysis/find = %.2f (goal <= 2)\n",
                analyse * 1e3, find * 1e3, analyse / find);
  }
  std::printf("versions hash: %.0f bytes per known file (goal < 300)\n",
              setup.versionsBytesPerFile);
  gSetup = nullptr;
  setup.job.reset();
  setup.db.close();
  setup.db = QSqlDatabase();
  QSqlDatabase::removeDatabase("finder_bench");
  return 0;
}
