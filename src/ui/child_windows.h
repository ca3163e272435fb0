#pragma once

namespace marlin {

// A window inside the main window closes when another of ours becomes
// active, unless it carries this property, set true: the overall router view
// always, the take dialog from its first take on.
inline constexpr const char *kStaysOpen = "staysOpen";

} // namespace marlin
