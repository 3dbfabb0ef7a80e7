// What the "[object]" repair must leave in the chunk and in the request address.
#pragma once

#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/text_model.h"

inline bool NamesAnObject(std::string_view address) {
  return address.find("[object]") != std::string_view::npos ||
         address.find("%5Bobject%5D") != std::string_view::npos;
}

// The repair turns the first occurrences of the address in the chunk (all of them when the page
// is shorter than the address) into the page, and the address into the page.
inline void CheckObjectRepair(std::string_view before, std::string_view after,
                              std::string_view addressBefore, std::string_view addressAfter,
                              std::string_view page) {
  if (addressBefore.empty() || !NamesAnObject(addressBefore)) {
    FUZZ_CHECK(after == before && addressAfter == addressBefore);
    return;
  }
  FUZZ_CHECK(addressAfter == page);
  std::vector<size_t> found = OccurrencesNoCase(before, addressBefore);
  // Which occurrences were replaced: the first ones, as many as the change in length says; when
  // the page is as long as the address, as far as the page stands in their place.
  long long grow =
      static_cast<long long>(page.size()) - static_cast<long long>(addressBefore.size());
  long long change = static_cast<long long>(after.size()) - static_cast<long long>(before.size());
  size_t replaced = 0;
  if (grow != 0) {
    FUZZ_CHECK(change % grow == 0 && change / grow >= 0 &&
               change / grow <= static_cast<long long>(found.size()));
    replaced = static_cast<size_t>(change / grow);
  } else {
    FUZZ_CHECK(change == 0);
    while (replaced < found.size() && after.substr(found[replaced], page.size()) == page)
      ++replaced;
  }
  FUZZ_CHECK(after == ReplaceFirstNoCase(before, addressBefore, page, replaced));
  if (page.size() < addressBefore.size()) FUZZ_CHECK(replaced == found.size());
}
