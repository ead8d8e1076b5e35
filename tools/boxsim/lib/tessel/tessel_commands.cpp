#include "boxsim/tessel_commands.h"

#include <QJsonDocument>

namespace boxsim {

namespace {

constexpr int kDefaultWaitSeconds = 60;

ControlReply usage(const QString& text) { return {kControlUsage, "usage: " + text + "\n"}; }
ControlReply failed(const QString& text) { return {1, text + "\n"}; }

QString jsonLine(const QJsonObject& object) {
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + "\n";
}

// Seconds from args[at], or the default; nothing when it is not a number.
std::optional<int> secondsArg(const QStringList& args, int at, int fallback) {
  if (args.size() <= at) return fallback;
  bool ok = false;
  const int value = args[at].toInt(&ok);
  return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

std::optional<bool> onOff(const QStringList& args) {
  if (args.size() != 1) return std::nullopt;
  if (args[0] == "on") return true;
  if (args[0] == "off") return false;
  return std::nullopt;
}

std::optional<QJsonObject> jsonObject(const QString& text) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  return document.object();
}

// Waits for the answers to a query just sent. Every response is one line;
// success when the last came with done = true and, when okNeeded, says ok.
ControlReply answers(TesselBox& box, std::int64_t id, int waitSeconds, bool okNeeded) {
  if (id < 0) return failed("no agent linked");
  const TesselResponses r = box.waitResponses(id, std::chrono::seconds(waitSeconds));
  ControlReply reply;
  for (const QJsonObject& response : r.responses) reply.output += jsonLine(response);
  if (!r.done) {
    reply.status = 1;
    reply.output += QString("no final response within %1 s\n").arg(waitSeconds);
  } else if (okNeeded && !r.responses.back().value("ok").toBool()) {
    reply.status = 1;
  }
  return reply;
}

void addKnobCommands(ControlCommands& commands, TesselBox& box) {
  commands.add("hello-fault",
               "<none|other-licence|wrong-proof|short-proof|empty-answer|"
               "oversized-answer|no-answer>",
               "How the box answers the next hellos.", [&box](const QStringList& args) {
                 const auto fault = helloFaultFromName(args.value(0));
                 if (args.size() != 1 || !fault) return usage("hello-fault <name>");
                 box.setHelloFault(*fault);
                 return ControlReply{};
               });
  commands.add("inject",
               "<two-payloads|oversized-frame|error-message|invalid-json|empty-json|"
               "unknown-type|drop>",
               "Does this to the agent's link now.", [&box](const QStringList& args) {
                 const auto fault = linkFaultFromName(args.value(0));
                 if (args.size() != 1 || !fault) return usage("inject <name>");
                 return box.inject(*fault) ? ControlReply{} : failed("no agent linked");
               });
  commands.add("answer-pings", "on|off", "Whether pings are answered (on at start).",
               [&box](const QStringList& args) {
                 const auto on = onOff(args);
                 if (!on) return usage("answer-pings on|off");
                 box.setAnswerPings(*on);
                 return ControlReply{};
               });
  commands.add("silent", "on|off", "Stop (on) or resume (off) reading the link and answering.",
               [&box](const QStringList& args) {
                 const auto on = onOff(args);
                 if (!on) return usage("silent on|off");
                 box.setSilent(*on);
                 return ControlReply{};
               });
}

}  // namespace

void addTesselCommands(ControlCommands& commands, TesselBox& box) {
  commands.add("wait-connected", "[seconds]",
               "Waits (default 60 s) until an agent has passed the hello.",
               [&box](const QStringList& args) {
                 const auto wait = secondsArg(args, 0, kDefaultWaitSeconds);
                 if (!wait || args.size() > 1) return usage("wait-connected [seconds]");
                 return box.waitConnected(std::chrono::seconds(*wait))
                            ? ControlReply{0, "connected\n"}
                            : failed(QString("no agent linked within %1 s").arg(*wait));
               });
  commands.add("query", "'<json query>' [seconds]",
               "Sends the query; prints each response as one JSON line.",
               [&box](const QStringList& args) {
                 const auto query = jsonObject(args.value(0));
                 const auto wait = secondsArg(args, 1, kDefaultWaitSeconds);
                 if (!query || !wait || args.size() > 2)
                   return usage("query '<json object>' [seconds]");
                 return answers(box, box.query(*query), *wait, false);
               });
  commands.add("launch-action", "<action> [args] [intent]",
               "Sends launch_action; prints the response, fails unless it is ok.",
               [&box](const QStringList& args) {
                 if (args.isEmpty() || args.size() > 3)
                   return usage("launch-action <action> [args] [intent]");
                 return answers(box, box.launchAction(args[0], args.value(1), args.value(2)),
                                kDefaultWaitSeconds, true);
               });
  commands.add("start-task", "<type> ['<json args>']",
               "Sends start_task; prints the response, fails unless it is ok.",
               [&box](const QStringList& args) {
                 const auto taskArgs = jsonObject(args.value(1, "{}"));
                 if (args.isEmpty() || args.size() > 2 || !taskArgs)
                   return usage("start-task <type> ['<json object>']");
                 return answers(box, box.startTask(args[0], *taskArgs), kDefaultWaitSeconds, true);
               });
  commands.add("tail-logs", "on|off", "Switches the agent's live log on or off.",
               [&box](const QStringList& args) {
                 const auto on = onOff(args);
                 if (!on) return usage("tail-logs on|off");
                 return box.tailLogs(*on) ? ControlReply{} : failed("no agent linked");
               });
  commands.add("logs", "", "Prints the log lines received.", [&box](const QStringList&) {
    ControlReply reply;
    for (const TesselLogLine& line : box.logLines()) reply.output += line.toString() + "\n";
    return reply;
  });
  commands.add("uploads", "[wait seconds]",
               "Lists completed uploads as '<path> <bytes> bytes task <id>'; with a wait, "
               "first waits for the next upload to end.",
               [&box](const QStringList& args) {
                 const auto wait = secondsArg(args, 0, 0);
                 if (!wait || args.size() > 1) return usage("uploads [wait seconds]");
                 if (*wait > 0 && !box.waitUpload(std::chrono::seconds(*wait)))
                   return failed(QString("no upload ended within %1 s").arg(*wait));
                 ControlReply reply;
                 for (const TesselUpload& u : box.uploads())
                   if (u.complete)
                     reply.output +=
                         QString("%1 %2 bytes task %3\n").arg(u.path).arg(u.size).arg(u.taskId);
                 return reply;
               });
  commands.add("status", "", "Prints whether an agent is linked, links and pings so far.",
               [&box](const QStringList&) {
                 return ControlReply{0, QString("linked %1, links %2, pings %3\n")
                                            .arg(box.record().linked() ? "yes" : "no")
                                            .arg(box.connectedCount())
                                            .arg(box.pingsReceived())};
               });
  addKnobCommands(commands, box);
}

}  // namespace boxsim
