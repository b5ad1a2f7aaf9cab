#pragma once
// File extensions of the files the core library writes, each with its leading dot.
// constexpr so that other translation units may build their own constants from them at start-up.

namespace kestrin {

constexpr const char KS_PROJECT_FILE_EXT[] = ".kestrin";
constexpr const char KS_IMAGE_FILE_EXT[] = ".png";

/// Version of the project file format this library writes; it reads this version and older.
/// 2: meshes (packed, by SHA-256) and robots imported from URDF descriptions.
constexpr int KS_PROJECT_FORMAT_VERSION = 2;

} // namespace kestrin
