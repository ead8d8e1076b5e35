// The box's answers to the run's action packets (PREP, PREPOST, INI, END)
// and its final answer, read from the run's connection. Every answer,
// whatever its bytes, becomes a code; nothing is thrown past these but the
// refusal of the run itself.
#pragma once

#include <QStringList>
#include <cstdint>

class CZLVNetwork;

struct ActionAnswer {
  // 0, or KVN_E_ACTION_REFUSED (quota), KVN_E_INVALID_REPLY (any other error
  // of the box), KVN_E_NETWORK (nothing or nothing readable came).
  std::uint32_t result = 0;
  // The box's quota or package limit is reached.
  bool limitExceeded = false;
  // PREP only: the files (native paths) the box wants sent again.
  QStringList sendAgain;
};

// The answer to an action other than PREP.
ActionAnswer readActionAnswer(CZLVNetwork& network, const char* action);
// The answer to PREP; throws KvnNotPermittedException when the box does
// not permit the run.
ActionAnswer readPrepAnswer(CZLVNetwork& network);
// The box's answer at the end of a file or of the run: 0, or
// KVN_E_INVALID_REPLY for an error answer, KVN_E_NETWORK.
std::uint32_t readFinalAnswer(CZLVNetwork& network);
