// Log prefixes of the netfilter rules that feed group 101, and what each one
// turns into.
#pragma once

#include <string_view>

#include "sensor/services/report_types.h"

enum class Report_kind : int {
    none = 0,
    special_frame = 1,
    service_discovery = 2,
    classifier_match = 3,
};

using Frame_kind = ksr::services::idsethernetsensor::datatypes::Special_frame_type;

// Frame kind of a packet that is no special frame.
inline constexpr Frame_kind no_special_frame = static_cast<Frame_kind>(8);

struct Prefix_class {
    Frame_kind frame_kind;
    Report_kind report_kind;
};

// Exact, case-sensitive lookup of the whole prefix; null when it is not in
// the table. Looks up by view, so a lookup never allocates.
const Prefix_class* find_prefix_class(std::string_view prefix);
