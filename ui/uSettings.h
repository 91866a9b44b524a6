// The tool's own settings between runs: the chosen adapter, the connection
// kind, the clock option, Write's "edited values only" and the main
// window's placement. The store is a QSettings (organisation "Velmarcon", application "TavexConfigTool"); the
// main window reads it once at start-up and writes it at program end and
// after each use of the Setup dialog.
#pragma once

#include <QRect>
#include <QString>

#include <optional>

class QSettings;

namespace tavex {

// What the store holds. A value that is missing, or of the wrong kind (a
// text where a number belongs), is absent.
struct TStoredSettings {
  std::optional<QString> EthernetAdapterID;
  std::optional<bool> DirectConnection;
  std::optional<bool> SynchronizeRTC;
  std::optional<bool> WriteEditedOnly;  // absent in a store from before the option
  // Restored (not maximised) bounds; positions and sizes are clamped to what
  // a window system can show (a size is at least 1).
  std::optional<int> Top, Left, Width, Height;
  // True only for a stored number of exactly 1.
  std::optional<bool> Maximized;
};

// What the window writes: all nine values.
struct TSettingsRecord {
  QString EthernetAdapterID;
  bool DirectConnection = false;
  bool SynchronizeRTC = false;
  bool WriteEditedOnly = false;
  QRect Restored;  // the window's bounds in its normal state
  bool Maximized = false;
};

// Longest adapter ID taken from the store; a longer one is no adapter's.
inline constexpr int kMaxAdapterIDLength = 256;
// Largest window width or height taken from the store, in pixels.
inline constexpr int kMaxWindowExtent = 8192;
// Window positions are clamped to this range either side of 0.
inline constexpr int kMaxWindowPosition = 32767;

TStoredSettings ReadSettings(QSettings& Store);

// The configuration grid's column widths the user set, per entry name
// (group "ColumnWidths"; a name is stored percent-encoded, so that any text
// is one key). Widths out of kMinColumnWidth .. kMaxColumnWidth, or no
// number, are absent.
inline constexpr int kMinColumnWidth = 15;
inline constexpr int kMaxColumnWidth = 2000;
std::optional<int> ReadColumnWidth(QSettings& Store, const QString& Entry);
// False when the store reports an error.
bool WriteColumnWidth(QSettings& Store, const QString& Entry, int Width);
// Writes all nine values and flushes the store. False when the store
// reports an error.
bool WriteSettings(QSettings& Store, const TSettingsRecord& Record);

}  // namespace tavex
