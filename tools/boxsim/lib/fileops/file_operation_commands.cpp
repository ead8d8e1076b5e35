#include "boxsim/file_operation_commands.h"

namespace boxsim {

namespace {

ControlReply usage(const QString& text) { return {kControlUsage, text + "\n"}; }

// "--job N" sets the job of the paths that follow it; other options take a
// value too. Paths are native and absolute.
struct Arguments {
  QString operationId;
  std::int64_t jobId = 0;
  int version = 0;
  QString target;
  std::vector<std::pair<std::int64_t, QString>> files;
  QString error;
};

Arguments parse(const QStringList& args) {
  Arguments a;
  if (args.isEmpty()) {
    a.error = "missing operation id";
    return a;
  }
  a.operationId = args[0];
  for (int i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    const bool option = arg == "--job" || arg == "--version" || arg == "--target";
    if (!option) {
      if (a.jobId <= 0) a.error = "--job must come before the paths";
      a.files.emplace_back(a.jobId, arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      a.error = arg + " needs a value";
      return a;
    }
    const QString value = args[++i];
    bool ok = true;
    if (arg == "--job")
      a.jobId = value.toLongLong(&ok);
    else if (arg == "--version")
      a.version = value.toInt(&ok);
    else
      a.target = value;
    if (!ok) a.error = arg + " needs a number";
  }
  if (a.jobId <= 0 && a.error.isEmpty()) a.error = "--job is required";
  return a;
}

}  // namespace

void addFileOperationCommands(ControlCommands& commands, FileOperationsBox& box) {
  commands.add(
      "prepare-restore", "<op-id> --job N [--version K] [--target DIR] [path...]",
      "Prepares a restoration of the paths (all of the job without any) at version K (1 the "
      "first; the newest without it). Prints the operation id and the target to pass to the "
      "restore launch action.",
      [&box](const QStringList& args) {
        const Arguments a = parse(args);
        if (!a.error.isEmpty()) return usage(a.error);
        RestorePlan plan;
        plan.jobId = a.jobId;
        plan.version = a.version;
        plan.target = a.target;
        for (const auto& file : a.files) plan.files << file.second;
        if (!box.prepareRestoration(a.operationId, plan))
          return ControlReply{1, "the store holds none of these files\n"};
        return ControlReply{0, a.operationId + " " +
                                   (a.target.isEmpty() ? QString("ORIGINAL_PATH") : a.target) +
                                   "\n"};
      });
  commands.add("prepare-delete", "<op-id> --job N path... [--job M path...]",
               "Prepares an external deletion naming the paths (of the job given before them); "
               "they leave the store as the box names them. Prints the operation id.",
               [&box](const QStringList& args) {
                 const Arguments a = parse(args);
                 if (!a.error.isEmpty()) return usage(a.error);
                 if (a.files.empty()) return usage("no path given");
                 box.prepareExternalDeletion(a.operationId, a.files);
                 return ControlReply{0, a.operationId + "\n"};
               });
  commands.add("refuse-deletions", "<code> [text]",
               "Answers deletion starts with an error of that code (0: accepts them again).",
               [&box](const QStringList& args) {
                 bool ok = false;
                 const std::uint32_t code = args.value(0).toUInt(&ok, 0);
                 if (!ok) return usage("the code must be a number");
                 box.refuseDeletions(code, args.mid(1).join(' '));
                 return ControlReply{0, {}};
               });
  commands.add("restore-results", "[op-id]",
               "Prints each file result the agent reported: ok or failed, the error text, the "
               "path.",
               [&box](const QStringList& args) {
                 QString out;
                 for (const RestoreResult& r : box.results()) {
                   if (!args.isEmpty() && r.operationId != args[0]) continue;
                   out += QString("%1\t%2\t%3\n")
                              .arg(r.failed ? "failed" : "ok", r.text.isEmpty() ? "-" : r.text,
                                   r.path);
                 }
                 return ControlReply{0, out};
               });
}

}  // namespace boxsim
