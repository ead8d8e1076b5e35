// Everything the box may ask of the agent over the channel, in the
// registries the client looks queries and tasks up in.
#pragma once

#include "tessel/agentcontrol.h"
#include "tessel/queryprocessor.h"
#include "tessel/tesseltask.h"

class LaunchActionRunner;

// Registers every query processor and the "file_upload" task. control,
// facts and runner must outlive both registries, and the runner must be
// shut down before control goes.
void registerTesselHandlers(QueryProcessorRegistry& queries, TaskFactoryRegistry& tasks,
                            const AgentControl& control, const AgentFacts& facts,
                            LaunchActionRunner& runner);
