#include "ui/uSettings.h"

#include <QSettings>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace tavex {

namespace {

std::optional<int> Number(QSettings& Store, const char* Name) {
  if (!Store.contains(Name)) return std::nullopt;
  const QVariant v = Store.value(Name);
  // A list (an INI text with commas) has no single number.
  if (v.typeId() == QMetaType::QStringList) return std::nullopt;
  // Through 64 bits: a text beyond 32 bits is no 32-bit number (a narrowing
  // conversion would keep its low bits).
  bool ok = false;
  const qlonglong n = v.toLongLong(&ok);
  if (!ok || n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int>(n);
}

std::optional<QString> Text(QSettings& Store, const char* Name) {
  if (!Store.contains(Name)) return std::nullopt;
  const QVariant v = Store.value(Name);
  if (v.typeId() == QMetaType::QStringList || !v.canConvert<QString>()) return std::nullopt;
  QString s = v.toString();
  if (s.size() > kMaxAdapterIDLength) return std::nullopt;
  return s;
}

std::optional<int> Clamped(std::optional<int> v, int Low, int High) {
  if (!v) return v;
  return std::clamp(*v, Low, High);
}

}  // namespace

TStoredSettings ReadSettings(QSettings& Store) {
  TStoredSettings s;
  s.EthernetAdapterID = Text(Store, "EthernetAdapterID");
  if (auto n = Number(Store, "DirectConnection")) s.DirectConnection = *n != 0;
  if (auto n = Number(Store, "SynchronizeRTC")) s.SynchronizeRTC = *n != 0;
  if (auto n = Number(Store, "WriteEditedOnly")) s.WriteEditedOnly = *n != 0;
  s.Top = Clamped(Number(Store, "Top"), -kMaxWindowPosition, kMaxWindowPosition);
  s.Left = Clamped(Number(Store, "Left"), -kMaxWindowPosition, kMaxWindowPosition);
  s.Width = Clamped(Number(Store, "Width"), 1, kMaxWindowExtent);
  s.Height = Clamped(Number(Store, "Height"), 1, kMaxWindowExtent);
  if (auto n = Number(Store, "Maximized")) s.Maximized = *n == 1;
  return s;
}

namespace {
QString ColumnKey(const QString& Entry) {
  return QStringLiteral("ColumnWidths/") + QString::fromLatin1(QUrl::toPercentEncoding(Entry));
}
}  // namespace

std::optional<int> ReadColumnWidth(QSettings& Store, const QString& Entry) {
  const QByteArray key = ColumnKey(Entry).toUtf8();
  const std::optional<int> n = Number(Store, key.constData());
  if (!n || *n < kMinColumnWidth || *n > kMaxColumnWidth) return std::nullopt;
  return n;
}

bool WriteColumnWidth(QSettings& Store, const QString& Entry, int Width) {
  Store.setValue(ColumnKey(Entry), std::clamp(Width, kMinColumnWidth, kMaxColumnWidth));
  Store.sync();
  return Store.status() == QSettings::NoError;
}

bool WriteSettings(QSettings& Store, const TSettingsRecord& Record) {
  Store.setValue("EthernetAdapterID", Record.EthernetAdapterID);
  Store.setValue("DirectConnection", Record.DirectConnection ? 1 : 0);
  Store.setValue("SynchronizeRTC", Record.SynchronizeRTC ? 1 : 0);
  Store.setValue("WriteEditedOnly", Record.WriteEditedOnly ? 1 : 0);
  Store.setValue("Top", Record.Restored.top());
  Store.setValue("Left", Record.Restored.left());
  Store.setValue("Width", Record.Restored.width());
  Store.setValue("Height", Record.Restored.height());
  Store.setValue("Maximized", Record.Maximized ? 1 : 0);
  Store.sync();
  return Store.status() == QSettings::NoError;
}

}  // namespace tavex
