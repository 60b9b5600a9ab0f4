// Thread rule: constants; safe from any thread.
//
// What every report carries inline: the charting library and the page's own
// script and style, compiled in from their files.
#pragma once

namespace gatewaysim {
namespace report {

extern const char kUplotScript[];
extern const char kUplotStyle[];
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace report
}  // namespace gatewaysim
