#pragma once

#include "Roster.h"

#include <optional>
#include <string>

// The roster on disk: a JSON file, UTF-8 and indented so that the operator can read and edit it:
//
//   {
//       "version": 1,
//       "locomotives": [
//           {
//               "name": "Class 20",
//               "address": 3,
//               "speedSteps": 28,
//               "functions": [
//                   {"number": 0, "label": "Headlight", "momentary": false}
//               ]
//           }
//       ]
//   }
//
// speedSteps is 14, 28 or 128 (speed modes 0, 1 and 2) and may be left out (28). "functions"
// lists only the functions that have a label or whose momentary setting differs from the
// default (F2 momentary, the others not) and may be left out; in it "label" may be left out (no
// label) and so may "momentary" (the default for that function). Anything else is damage: a
// wrong type, an unknown field, a number out of range, an entry the Roster refuses.
//
// Static functions with no state of their own; they block on the file system, so call them
// where that is acceptable (at start and on the operator's edits). Any thread, but not two at
// once on the same path.
class RosterFile {
public:
    // $XDG_DATA_HOME/dcc-cab/roster.json (~/.local/share/dcc-cab/roster.json when XDG_DATA_HOME
    // is not set); empty when the system knows no data directory at all.
    static std::string defaultPath();

    struct Loaded {
        Roster roster;
        // Why the file could not be used, in words for the operator; empty when it could.
        std::optional<std::string> problem;
    };

    // A missing file is an empty roster and no problem. A file that cannot be read or is
    // damaged gives an empty roster and a problem that names the path and what is wrong; the
    // file is kept aside as "<path>.damaged-<yyyyMMdd-hhmmss>" (the problem names it), so that
    // nothing the operator wrote is lost and the next save does not replace it.
    static Loaded load(const std::string& path);

    // Writes roster to path atomically (a temporary file beside it, then a rename), making the
    // directory when it is missing. False when it cannot, with why (in words for the operator,
    // naming the path) in *why if why is given; the file already there is then left as it was.
    static bool save(const Roster& roster, const std::string& path, std::string* why);
};
