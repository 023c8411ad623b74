#pragma once

// The pictures the engine publishes under vemo/ (relative to the working
// directory) and how a published name is replaced: the new picture is written
// completely under a temporary name in the same directory, flushed to disk,
// then renamed over the published name in one step. A reader therefore always
// finds the name, holding either the old or the new picture.

#include <string>

namespace vemo {

namespace published {

inline constexpr char kDirectory[] = "vemo";
inline constexpr char kCameraJpeg[] = "vemo/vemo.jpg";
inline constexpr char kCameraGif[] = "vemo/vemo.gif";
inline constexpr char kCameraJpegTemp[] = "vemo/tmp.jpg";
inline constexpr char kCameraGifTemp[] = "vemo/tmp.gif";
inline constexpr char kCameraStatus[] = "vemo/cameraon.gif";
inline constexpr char kScreenStatus[] = "vemo/screenon.gif";
inline constexpr char kScreenWholeJpeg[] = "vemo/vemosc1.jpg";
inline constexpr char kScreenWholeJpegTemp[] = "vemo/tmpsc1.jpg";
inline constexpr char kScreenJpeg[] = "vemo/vemosc.jpg";
inline constexpr char kScreenJpegTemp[] = "vemo/tmpsc.jpg";
inline constexpr char kScreenGif[] = "vemo/vemosc.gif";
inline constexpr char kScreenGifTemp[] = "vemo/tmpsc.gif";

// Status pictures, provided by the product's installation.
inline constexpr char kBakCameraOnGif[] = "vemo/bak/cameraon.gif";
inline constexpr char kBakCameraOffGif[] = "vemo/bak/cameraoff.gif";
inline constexpr char kBakCameraOffJpeg[] = "vemo/bak/cameraoff.jpg";
inline constexpr char kBakVemoOffGif[] = "vemo/bak/vemooff.gif";
inline constexpr char kBakScreenOnGif[] = "vemo/bak/screenon.gif";
inline constexpr char kBakScreenOffGif[] = "vemo/bak/screenoff.gif";
inline constexpr char kBakScreenOffJpeg[] = "vemo/bak/screenoff.jpg";
inline constexpr char kBakVemoScOffGif[] = "vemo/bak/vemoscoff.gif";

// "vemo/vemosc" + digit + digit + extension (".jpg" or ".gif"); each digit is
// the first character of the index's decimal text.
std::string TileName(int first, int second, const char* extension);
// The temporary name a tile is written under: "vemo/tmpsc" + digits + extension.
std::string TileTempName(int first, int second, const char* extension);

}  // namespace published

// The file system calls the publishing code makes. Production uses the real
// calls; tests install their own to make a removal or rename fail on demand.
class FileOperations {
  public:
    virtual ~FileOperations() = default;
    virtual bool Remove(const std::string& path);
    virtual bool Rename(const std::string& from, const std::string& to);  // replaces `to`
    virtual bool Copy(const std::string& from, const std::string& to);    // creates or truncates
    virtual bool Sync(const std::string& path);  // file data reaches the disk
    virtual bool Exists(const std::string& path);
    virtual void Pause(int milliseconds);
};

FileOperations& file_operations();
// Installs `operations` (nullptr: the real calls again). For tests.
void SetFileOperations(FileOperations* operations);

// Removes `path`, retrying up to `attempts` times with a pause of
// `interval_ms` after each failure. A file that is not there counts as removed.
void RemoveWithRetry(const std::string& path, int interval_ms, int attempts);

// How a replacement reaches the disk. Flushed: the data is on the disk before
// the name changes, so after a crash the name holds a whole picture. Unflushed
// is for the many small tiles of a screen grab, which the next grab replaces
// anyway; readers still never see a partial file.
enum class Durability { kFlushed, kUnflushed };

// Moves the complete file `temp` over `published`, retrying the rename like a
// removal (10 attempts, 10 ms apart). When that fails the published picture
// stays as it was, `temp` is removed, and false is returned.
bool ReplacePublishedFile(const std::string& temp, const std::string& published,
                          Durability durability = Durability::kFlushed);

// Copies a status picture from vemo/bak over `target` through a temporary
// name and a rename. A missing source or a failed copy leaves `target` as it was.
bool CopyStatusPicture(const std::string& source, const std::string& target);

// Status pictures for the starts and stops of camera preview and screen capture.
void PublishCameraPreviewStarted();
void PublishCameraPreviewStopped();
void PublishScreenCaptureStarted();
// Removes the i-mode JPEG and every tile name with both digits below `division`,
// then puts the screen off pictures in place.
void PublishScreenCaptureStopped(int division);

}  // namespace vemo
