#include "boxsim/fault_commands.h"

#include <chrono>

namespace boxsim {

namespace {

constexpr int kDefaultWaitSeconds = 60;

const char* kPoints =
    "<PREP|PREPOST|INI|INFO|BACKUP|END|DONE|packet:0xTYPE|answer:0xTYPE|stored|full|delta|"
    "signature|download>[:N]";

ControlReply arm(BoxSimulator& simulator, PhaseTrap::Action action, const QStringList& args) {
  const QString name = action == PhaseTrap::Action::Hold ? "hold" : "drop";
  if (args.size() != 1) return {kControlUsage, "usage: " + name + " " + kPoints + "\n"};
  QString error;
  auto trap = makeTrap(action, args[0], &error);
  if (!trap) return {kControlUsage, error + "\n"};
  simulator.setTrap(std::move(trap));
  return {};
}

}  // namespace

std::shared_ptr<PhaseTrap> makeTrap(PhaseTrap::Action action, const QString& point,
                                    QString* error) {
  const auto parsed = TrapPoint::parse(point, error);
  if (!parsed) return nullptr;
  return std::make_shared<PhaseTrap>(action, *parsed);
}

void addFaultCommands(ControlCommands& commands, BoxSimulator& simulator) {
  commands.add("hold", kPoints,
               "The next connection to reach the point stops there: it reads and answers "
               "nothing more until the agent is gone.",
               [&simulator](const QStringList& args) {
                 return arm(simulator, PhaseTrap::Action::Hold, args);
               });
  commands.add("drop", kPoints, "The next connection to reach the point is closed there.",
               [&simulator](const QStringList& args) {
                 return arm(simulator, PhaseTrap::Action::Drop, args);
               });
  commands.add("trap-clear", "", "Removes the hold or drop point.",
               [&simulator](const QStringList&) {
                 simulator.setTrap(nullptr);
                 return ControlReply{};
               });
  commands.add("wait-held", "[seconds]",
               "Waits (default 60 s) until a connection holds at the hold point.",
               [&simulator](const QStringList& args) -> ControlReply {
                 bool ok = true;
                 const int seconds = args.isEmpty() ? kDefaultWaitSeconds : args[0].toInt(&ok);
                 if (!ok || seconds < 0 || args.size() > 1)
                   return {kControlUsage, "usage: wait-held [seconds]\n"};
                 const auto trap = simulator.trap();
                 if (!trap || trap->action() != PhaseTrap::Action::Hold)
                   return {1, "no hold point set\n"};
                 if (!trap->waitHeld(std::chrono::seconds(seconds)))
                   return {1, "not held at " + trap->point().text + " within " +
                                  QString::number(seconds) + " s\n"};
                 return {0, "held at " + trap->point().text + "\n"};
               });
}

}  // namespace boxsim
