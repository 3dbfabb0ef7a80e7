#include "rewrite/rewriting.h"

#include "core/server.h"
#include "rewrite/client_hints.h"
#include "rewrite/page_memory.h"
#include "rewrite/request_filters.h"

void InstallRewriting() {
  InstallExchangeHooks(ExchangeHooks{
      .applyRequestFilters = ApplyRequestFilters,
      .repairObjectAddress = RepairObjectAddress,
      .noteFirstAnswer = NoteFirstAnswer,
      .editFirstAnswer = RemoveHintRequests,
  });
}
