// The frame record: one MessagePack map of 12 entries per recorded call or
// return of a user-code frame.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "profiler/call_site.h"
#include "profiler/event.h"
#include "utils/ids.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

struct FrameRecordFields {
  std::string_view path;
  std::string_view code_name;
  const std::optional<std::string>& qualname;
  Event event;
  const std::optional<ids::Id>& frame_id;
  std::string arg;     // serialized, consumed
  std::string locals;  // serialized, consumed
  const utils::ThreadInfo& thread;
  const std::optional<CallSite>& call_site;
};

// Reads the event timestamp itself, after arg and locals were serialized.
std::string write_frame_record(FrameRecordFields&& fields);

}  // namespace vopo::profiler
