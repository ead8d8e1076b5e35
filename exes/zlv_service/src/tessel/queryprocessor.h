// The questions the box may ask, by name. The application registers each
// processor with what it needs; the client looks them up by the query's
// "type" (exact, case-sensitive).
#pragma once

#include <QJsonObject>
#include <QString>
#include <map>
#include <memory>

class TesselReplier;

class TesselQueryProcessor {
 public:
  virtual ~TesselQueryProcessor() = default;
  // Answers through the replier; runs on the channel's thread.
  virtual void process(const QJsonObject& query, TesselReplier& replier) = 0;
};

class QueryProcessorRegistry {
 public:
  // A later processor under the same name replaces the earlier one.
  void add(const QString& name, std::unique_ptr<TesselQueryProcessor> processor);
  // Null for an unknown name.
  TesselQueryProcessor* find(const QString& name) const;

 private:
  std::map<QString, std::unique_ptr<TesselQueryProcessor>> processors_;
};
