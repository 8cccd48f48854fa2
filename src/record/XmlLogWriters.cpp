// The document writers, GPX 1.1 and KML 2.2, on Qt's XML stream writer: one writer per document
// keeps the open elements, and each row's elements are taken from it as bytes and appended to a
// document that is rewritten whole on disk.
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>

#include "record/LogWriters.h"
#include "window/SignalCharts.h"

namespace {

constexpr char kGpxNamespace[] = "http://www.topografix.com/GPX/1/1";
constexpr char kGpxSchemaLocation[] = "http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd";
constexpr char kXsiNamespace[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr char kFiguresNamespace[] = "urn:cdma-monitor:field-log:1";
constexpr char kKmlNamespace[] = "http://www.opengis.net/kml/2.2";
constexpr char kCreator[] = "cdma-monitor";
constexpr char kDotIcon[] = "http://maps.google.com/mapfiles/kml/shapes/shaded_dot.png";
constexpr char kSectorIcon[] = "http://maps.google.com/mapfiles/kml/shapes/triangle.png";

QString Q(std::string_view aText) { return QString::fromUtf8(aText.data(), static_cast<qsizetype>(aText.size())); }

// What a document writes: its opening, the elements of a row, and the closing of what the
// opening left open, each through the writer it is given.
class TXmlLogFormat {
 public:
  virtual ~TXmlLogFormat() = default;
  virtual void WriteOpening(QXmlStreamWriter& aXml) const = 0;
  virtual void WriteRow(QXmlStreamWriter& aXml, const TLogRow& aRow) = 0;
  // The same bytes whatever rows came before.
  virtual void WriteClosing(QXmlStreamWriter& aXml) const = 0;
};

// Elements are written one per line; the line ends are character data the formats allow
// between elements.
void NewLine(QXmlStreamWriter& aXml) { aXml.writeCharacters(QStringLiteral("\n")); }

// The declaration names the encoding the bytes are taken in; a writer into a string would leave it
// out.
void StartDocument(QXmlStreamWriter& aXml) {
  aXml.writeProcessingInstruction(QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\""));
  NewLine(aXml);
}

void TextElement(QXmlStreamWriter& aXml, const QString& aName, const QString& aText) {
  aXml.writeTextElement(aName, aText);
}

// --- GPX ------------------------------------------------------------------------------------

// Columns the GPX point carries in its own elements, and those it has no place for.
bool InGpxExtension(TLogColumn aColumn) {
  switch (aColumn) {
    case TLogColumn::Time:
    case TLogColumn::Kind:
    case TLogColumn::Fix:
    case TLogColumn::Lat:
    case TLogColumn::Lon:
    case TLogColumn::AltM:
    case TLogColumn::From:
    case TLogColumn::To:
    case TLogColumn::Text:
    case TLogColumn::RttMs:
      return false;
    default:
      return true;
  }
}

class TGpxFormat final : public TXmlLogFormat {
 public:
  explicit TGpxFormat(TWallClock::time_point aCreated) : FCreated(aCreated) {}

  void WriteOpening(QXmlStreamWriter& aXml) const override {
    StartDocument(aXml);
    aXml.writeStartElement(QStringLiteral("gpx"));
    aXml.writeDefaultNamespace(QString::fromLatin1(kGpxNamespace));
    aXml.writeNamespace(QString::fromLatin1(kXsiNamespace), QStringLiteral("xsi"));
    aXml.writeNamespace(QString::fromLatin1(kFiguresNamespace), QStringLiteral("cdma"));
    aXml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    aXml.writeAttribute(QStringLiteral("creator"), QString::fromLatin1(kCreator));
    aXml.writeAttribute(QString::fromLatin1(kXsiNamespace), QStringLiteral("schemaLocation"),
                        QString::fromLatin1(kGpxSchemaLocation));
    NewLine(aXml);
    aXml.writeStartElement(QStringLiteral("metadata"));
    TextElement(aXml, QStringLiteral("name"), QStringLiteral("Field log"));
    TextElement(aXml, QStringLiteral("time"), Q(FormatLogTime(FCreated)));
    aXml.writeEndElement();
    NewLine(aXml);
    aXml.writeStartElement(QStringLiteral("trk"));
    TextElement(aXml, QStringLiteral("name"), Q("Field log " + FormatLogTime(FCreated)));
    NewLine(aXml);
    aXml.writeStartElement(QStringLiteral("trkseg"));
    NewLine(aXml);
  }

  // A track point per sample with a position; a new segment where the position was missing.
  void WriteRow(QXmlStreamWriter& aXml, const TLogRow& aRow) override {
    if (!aRow.Sample()) return;
    if (!aRow.Position.Known()) {
      FGap = FSegmentUsed;
      return;
    }
    if (FGap) {
      aXml.writeEndElement();
      NewLine(aXml);
      aXml.writeStartElement(QStringLiteral("trkseg"));
      NewLine(aXml);
      FGap = false;
    }
    FSegmentUsed = true;
    const TLogValues values = LogRowValues(aRow);
    const auto value = [&](TLogColumn aColumn) { return Q(values[ColumnIndex(aColumn)].Text); };
    aXml.writeStartElement(QStringLiteral("trkpt"));
    aXml.writeAttribute(QStringLiteral("lat"), value(TLogColumn::Lat));
    aXml.writeAttribute(QStringLiteral("lon"), value(TLogColumn::Lon));
    if (aRow.Position.AltitudeM) TextElement(aXml, QStringLiteral("ele"), value(TLogColumn::AltM));
    TextElement(aXml, QStringLiteral("time"), value(TLogColumn::Time));
    TextElement(aXml, QStringLiteral("fix"), aRow.Position.Mode == TFixMode::Fix3D ? QStringLiteral("3d") : QStringLiteral("2d"));
    aXml.writeStartElement(QStringLiteral("extensions"));
    aXml.writeStartElement(QString::fromLatin1(kFiguresNamespace), QStringLiteral("figures"));
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i].Type != TLogValueType::Absent && InGpxExtension(static_cast<TLogColumn>(i)))
        aXml.writeTextElement(QString::fromLatin1(kFiguresNamespace), Q(kLogColumns[i]), Q(values[i].Text));
    aXml.writeEndElement();
    aXml.writeEndElement();
    aXml.writeEndElement();
    NewLine(aXml);
  }

  void WriteClosing(QXmlStreamWriter& aXml) const override {
    aXml.writeEndElement();  // trkseg
    NewLine(aXml);
    aXml.writeEndElement();  // trk
    NewLine(aXml);
    aXml.writeEndElement();  // gpx
    aXml.writeEndDocument();
  }

 private:
  TWallClock::time_point FCreated;
  bool FSegmentUsed = false;
  bool FGap = false;
};

// --- KML ------------------------------------------------------------------------------------

struct TBandStyle {
  TRxBand Band;
  const char* Id;
  TRgb Color;
};
const TBandStyle kBandStyles[] = {
    {TRxBand::Excellent, "rx-excellent", kScaleColors[0]},
    {TRxBand::Good, "rx-good", kScaleColors[1]},
    {TRxBand::Bad, "rx-bad", kScaleColors[2]},
};
constexpr char kSectorStyle[] = "sector-change";

// KML's colour order: alpha, blue, green, red.
QString KmlColor(TRgb aColor, uint8_t aAlpha) {
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", aAlpha, aColor.B, aColor.G, aColor.R);
  return QString::fromLatin1(text);
}

// One decimal, as the window's labels show it, in C notation whatever the locale.
std::string Figure(float aValue) { return FormatFixed(static_cast<double>(aValue), 1); }

// The figures of a point as lines of text, as a map shows them when the point is clicked.
std::string SampleDescription(const TCycleSample& aSample, const TPosition& aPosition) {
  std::string text;
  if (!aSample.Present) {
    text = "No modem";
  } else {
    text = "RX " + Figure(aSample.Rx) + " dBm (" + std::string(RxBandCaption(RxBandOf(aSample))) + ")\n";
    text += "TX " + Figure(aSample.Tx) + " dBm\n";
    text += "DRC " + Figure(aSample.Drc) + "\n";
    if (aSample.NoData) text += "No link data\n";
    text += aSample.LinkType + (aSample.Sleeping ? " (sleeping)" : "") + "\n";
    text += "Cell " + std::to_string(aSample.Cell) + " sector " + std::to_string(aSample.Sector) + " PN " +
            std::to_string(aSample.Pn) + "\n";
    text += "Up " + std::to_string(aSample.UpKbps) + " kbit/s, down " + std::to_string(aSample.DownKbps) + " kbit/s";
  }
  text += "\n" + std::string(FixModeName(aPosition.Mode)) + " fix";
  if (aPosition.HorizontalErrorM) text += ", ±" + FormatFixed(*aPosition.HorizontalErrorM, 1) + " m";
  if (aPosition.SpeedMps) text += ", " + FormatFixed(*aPosition.SpeedMps * 3.6, 1) + " km/h";
  if (aPosition.CourseDeg) text += ", course " + FormatFixed(*aPosition.CourseDeg, 0) + "°";
  return text;
}

QString Coordinates(const TPosition& aPosition) {
  std::string text = FormatFixed(aPosition.Longitude, 7);
  text += ',';
  text += FormatFixed(aPosition.Latitude, 7);
  if (aPosition.AltitudeM) {
    text += ',';
    text += FormatFixed(*aPosition.AltitudeM, 2);
  }
  return Q(text);
}

class TKmlFormat final : public TXmlLogFormat {
 public:
  explicit TKmlFormat(TWallClock::time_point aCreated) : FCreated(aCreated) {}

  void WriteOpening(QXmlStreamWriter& aXml) const override {
    StartDocument(aXml);
    aXml.writeStartElement(QStringLiteral("kml"));
    aXml.writeDefaultNamespace(QString::fromLatin1(kKmlNamespace));
    NewLine(aXml);
    aXml.writeStartElement(QStringLiteral("Document"));
    NewLine(aXml);
    TextElement(aXml, QStringLiteral("name"), Q("Field log " + FormatLogTime(FCreated)));
    NewLine(aXml);
    for (const TBandStyle& style : kBandStyles) {
      WriteStyle(aXml, QString::fromLatin1(style.Id), KmlColor(style.Color, kScaleAlpha), 0.6, kDotIcon, false);
      NewLine(aXml);
    }
    WriteStyle(aXml, QString::fromLatin1(kSectorStyle), QStringLiteral("ffffffff"), 1.1, kSectorIcon, true);
    NewLine(aXml);
  }

  void WriteRow(QXmlStreamWriter& aXml, const TLogRow& aRow) override {
    if (!aRow.Position.Known()) return;
    if (const TCycleSample* sample = aRow.Sample()) {
      const char* style = "rx-bad";
      for (const TBandStyle& entry : kBandStyles)
        if (entry.Band == RxBandOf(*sample)) style = entry.Id;
      WritePlacemark(aXml, aRow, FormatLogTime(aRow.Time()).substr(11, 12), style,
                     SampleDescription(*sample, aRow.Position));
    } else if (const TMonitorEvent* event = aRow.Event(); event && event->Kind == TMonitorEventKind::SectorChanged) {
      WritePlacemark(aXml, aRow, "Sector " + event->To, kSectorStyle,
                     "Serving sector " + (event->From.empty() ? std::string("none") : event->From) + " → " + event->To);
    }
  }

  void WriteClosing(QXmlStreamWriter& aXml) const override {
    aXml.writeEndElement();  // Document
    NewLine(aXml);
    aXml.writeEndElement();  // kml
    aXml.writeEndDocument();
  }

 private:
  static void WriteStyle(QXmlStreamWriter& aXml, const QString& aId, const QString& aColor, double aScale,
                         const char* aIcon, bool aLabelled) {
    aXml.writeStartElement(QStringLiteral("Style"));
    aXml.writeAttribute(QStringLiteral("id"), aId);
    aXml.writeStartElement(QStringLiteral("IconStyle"));
    TextElement(aXml, QStringLiteral("color"), aColor);
    TextElement(aXml, QStringLiteral("scale"), QString::number(aScale));
    aXml.writeStartElement(QStringLiteral("Icon"));
    TextElement(aXml, QStringLiteral("href"), QString::fromLatin1(aIcon));
    aXml.writeEndElement();
    aXml.writeEndElement();
    // The points' names (their times) would hide the map; the sector changes keep theirs.
    if (!aLabelled) {
      aXml.writeStartElement(QStringLiteral("LabelStyle"));
      TextElement(aXml, QStringLiteral("scale"), QStringLiteral("0"));
      aXml.writeEndElement();
    }
    aXml.writeEndElement();
  }

  static void WritePlacemark(QXmlStreamWriter& aXml, const TLogRow& aRow, const std::string& aName, const char* aStyle,
                             const std::string& aDescription) {
    aXml.writeStartElement(QStringLiteral("Placemark"));
    TextElement(aXml, QStringLiteral("name"), Q(aName));
    aXml.writeStartElement(QStringLiteral("TimeStamp"));
    TextElement(aXml, QStringLiteral("when"), Q(FormatLogTime(aRow.Time())));
    aXml.writeEndElement();
    TextElement(aXml, QStringLiteral("styleUrl"), QStringLiteral("#") + QString::fromLatin1(aStyle));
    TextElement(aXml, QStringLiteral("description"), Q(aDescription));
    aXml.writeStartElement(QStringLiteral("Point"));
    TextElement(aXml, QStringLiteral("coordinates"), Coordinates(aRow.Position));
    aXml.writeEndElement();
    aXml.writeEndElement();
    NewLine(aXml);
  }

  TWallClock::time_point FCreated;
};

// --- the writer -----------------------------------------------------------------------------

// What a QXmlStreamWriter produces, taken as UTF-8 as it comes. Into a string, not a device: the
// writer is made on one thread and used on another, which a QObject would not like.
class TXmlBytes {
 public:
  TXmlBytes() : FXml(&FText) {}
  QXmlStreamWriter& Xml() { return FXml; }
  std::string Take() {
    std::string bytes = FText.toStdString();
    FText.clear();
    return bytes;
  }

 private:
  QString FText;
  QXmlStreamWriter FXml;
};

class TXmlLogWriter final : public TLogWriter {
 public:
  TXmlLogWriter(TFreshFile aFile, std::unique_ptr<TXmlLogFormat> aFormat) : FFormat(std::move(aFormat)) {
    FFormat->WriteOpening(FBytes.Xml());
    const std::string head = FBytes.Take();
    // The tail: what closing an opening without rows writes after it.
    TXmlBytes skeleton;
    FFormat->WriteOpening(skeleton.Xml());
    skeleton.Take();
    FFormat->WriteClosing(skeleton.Xml());
    FDocument.emplace(std::move(aFile), head, skeleton.Take());
    FLastCommit = std::chrono::steady_clock::now();
  }

  void Write(const TLogRow& aRow) override {
    FFormat->WriteRow(FBytes.Xml(), aRow);
    FDocument->Append(FBytes.Take());
  }

  void Sync(bool aForce) override {
    if (FClosed || !FDocument->HasPending()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!aForce && now - FLastCommit < RewriteInterval()) return;
    FDocument->Commit();
    FLastCommit = now;
  }

  void Close() override {
    if (FClosed) return;
    Sync(true);
    FClosed = true;
  }

  const std::string& Path() const override { return FDocument->Path(); }

 private:
  std::chrono::steady_clock::duration RewriteInterval() const {
    const std::chrono::seconds byRate(FDocument->CommittedBytes() / kDocumentRewriteRate);
    return std::clamp<std::chrono::seconds>(byRate, kMinDocumentRewriteInterval, kMaxDocumentRewriteInterval);
  }

  std::unique_ptr<TXmlLogFormat> FFormat;
  TXmlBytes FBytes;
  std::optional<TRewrittenDocument> FDocument;
  std::chrono::steady_clock::time_point FLastCommit;
  bool FClosed = false;
};

}  // namespace

std::unique_ptr<TLogWriter> CreateGpxLogWriter(TFreshFile aFile) {
  return std::make_unique<TXmlLogWriter>(std::move(aFile), std::make_unique<TGpxFormat>(TWallClock::now()));
}

std::unique_ptr<TLogWriter> CreateKmlLogWriter(TFreshFile aFile) {
  return std::make_unique<TXmlLogWriter>(std::move(aFile), std::make_unique<TKmlFormat>(TWallClock::now()));
}
