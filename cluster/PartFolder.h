// A part folder: a plain work folder that vontal-cli runs and continues like any other, with the
// piece as its stored task in "Vontal.ini" and a marker file, "VontalPart.ini", that names the
// whole task, the part's number and its piece, sealed with a check sum so that a hand edit shows.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "cluster/Piece.h"

namespace vontal::cluster {

inline constexpr const char* kMarkerFileName = "VontalPart.ini";
inline constexpr const char* kMarkerSection = "part";

struct PartMarker {
    Piece task;   // the whole task
    int number = 0, count = 0;  // part `number` of `count`, from 1
    Piece piece;  // this part's share of it
};

// "part-01" ... the folder name of part `number` of `count` (as many digits as the count has,
// at least two).
std::string PartFolderName(int number, int count);

// Writes the part folder `dir` (created when missing): "Vontal.ini" with the piece as a task just
// begun (the same keys, in the same way, as the program writes when it begins a task), plus
// "Priority" when `priority` is given, then the marker. Throws on any failure to write.
void WritePartFolder(const std::filesystem::path& dir, const PartMarker& marker, std::optional<int> priority);

// Reads the marker of `dir`. False with `problem` set when there is none, it does not read, its
// check sum does not fit its content (a hand edit or damage), or its piece is no share of its
// task.
bool ReadPartMarker(const std::filesystem::path& dir, PartMarker& marker, std::string& problem);

// Whether `dir` holds a marker file at all.
bool HasPartMarker(const std::filesystem::path& dir);

}  // namespace vontal::cluster
