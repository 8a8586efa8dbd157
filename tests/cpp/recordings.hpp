#pragma once
// The recordings the tests decode. The POSIX build writes them with
// OpenCV's videoio (posix_recordings.cpp). The Windows build has no video
// writer: it reads the ones that a run of the POSIX build's tests left in the
// folder MIRELO_CROSS_FIXTURES names (windows_recordings.cpp), as
// scripts/test_windows.sh arranges, and compares its results with the ones
// that run left beside them.
#include <string>

namespace mirelo::test_support {

/// Whether this build writes the recordings and the reference results of
/// the cross-system tests (POSIX) rather than reading them (Windows).
bool writes_recordings();

/// The folder the two builds' runs share (MIRELO_CROSS_FIXTURES), or empty.
std::string cross_fixtures_folder();

/// The path of a recording the tests use: "pipeline.avi" (MJPEG, 96 x 64,
/// 40 frames of plain colours) or "windows.mp4" (H.264, 320 x 180, 25 fps,
/// 100 frames of moving patterns beside an orange marker). Empty, with the
/// reason in `why`, when there is none on this system.
std::string test_recording(const std::string& name, std::string& why);

/// Writes `frames` frames of `width` x `height` with the codec `fourcc` at
/// 25 fps: frame k differs from its neighbours everywhere (moving gradient
/// and a moving block), so that any frame offset shows. False when the codec
/// is not available. POSIX build only.
bool write_recording(const std::string& path, int fourcc, int width, int height, int frames);

}  // namespace mirelo::test_support
