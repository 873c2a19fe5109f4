// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <string>
#include <vector>

namespace difral {

// The preferred profile member, and the text a missing one reports.
inline constexpr std::string_view preferred_profile_member =
    "Data0/Profile0.txt";
inline constexpr std::string_view profile_member_pattern = "Profile*.txt";

// "Data0/Profile0.txt" wherever it stands; else the first name that contains
// "Profile" and ends in ".txt"; else MissingArchiveMember("Profile*.txt").
Result<std::string, LoadError>
choose_profile_member(const std::vector<std::string> &names);

// Rigaku RASX: a ZIP archive whose profile member holds position and
// intensity columns. The source is closed before it returns. Never yields e.
LoadResult read_rasx(ByteSource source);

} // namespace difral
