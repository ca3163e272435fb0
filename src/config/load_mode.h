#pragma once

namespace marlin {

// What a load does with a value it cannot use (a number too large for its
// field, a file that exists but cannot be read). At startup the built-in
// default takes its place, so the server comes up. On a reload the value in
// memory stays: a typo in a file never moves a live port to another router.
enum class LoadMode { Startup, Reload };

} // namespace marlin
