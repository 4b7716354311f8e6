#include "filelist/media_reader.h"

#include "engine/audio_source.h"
#include "engine/flac_metadata.h"
#include "engine/media_file.h"
#include "engine/mp4_audio_config.h"
#include "engine/stream_info.h"
#include "filelist/file_list_summary.h"

#include <QFile>

#include <mpg123.h>

#include <taglib/apefooter.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/oggfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/tiostream.h>
#include <taglib/tstring.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <cstdio>
#include <cstring>
#include <cwctype>

namespace velmora {

namespace {

// Tag cells, in the order the fills visit them.
constexpr int kTagFieldColumns[] = {kColArtist, kColAlbumArtist, kColAlbum, kColTrack,
                                    kColTitle,  kColGenre,       kColDate,  kColComment};

QString* RecordTextOf(FileItemInfo& info, int column) {
    switch (column) {
    case kColArtist: return &info.artist;
    case kColAlbumArtist: return &info.albumArtist;
    case kColAlbum: return &info.album;
    case kColTrack: return &info.track;
    case kColTitle: return &info.title;
    case kColGenre: return &info.genre;
    case kColDate: return &info.date;
    case kColComment: return &info.comment;
    default: return nullptr;
    }
}

void SetCell(FileRow& row, RowWriter& writer, int column, const QString& text) {
    row.cells[column] = text;
    writer.SetCellText(column, text);
}

// The fill rule: a field takes a source's text only while its cell is still empty; the
// record keeps the same text, and a track text also sets the track number and count.
void FillField(FileRow& row, RowWriter& writer, int column, const QString& text) {
    if (!row.cells[column].isEmpty()) return;
    SetCell(row, writer, column, text);
    if (QString* field = RecordTextOf(row.info, column)) *field = text;
    if (column == kColTrack) ApplyTrackText(text, row.info);
}

QByteArray NativePath(const QString& path) { return QFile::encodeName(path); }

// The tag fields of a format read by common names (TagLib's property names, Vorbis comment
// names): `first(name)` gives the first text under that name, empty when there is none.
template <class FirstText>
void FillFromNamedFields(const FirstText& first, FileRow& row, RowWriter& writer) {
    for (int column : kTagFieldColumns) {
        QString text;
        switch (column) {
        case kColArtist: text = first("ARTIST"); break;
        case kColAlbumArtist: text = first("ALBUMARTIST"); break;
        case kColAlbum: text = first("ALBUM"); break;
        case kColTrack: {
            // Xiph comments keep the count apart; MP4 and ASF give "3/12" already.
            text = first("TRACKNUMBER");
            const QString total = first("TRACKTOTAL");
            if (!text.isEmpty() && !text.contains(QLatin1Char('/')) && !total.isEmpty()) text += QLatin1Char('/') + total;
            break;
        }
        case kColTitle: text = first("TITLE"); break;
        case kColGenre: text = first("GENRE"); break;
        case kColDate: text = first("DATE"); break;
        case kColComment: text = first("COMMENT"); break;
        }
        if (!text.isEmpty()) FillField(row, writer, column, text);
    }
}

// The tag reader's view of the file the stream step opened: reads only, from its head and
// tail in memory or where they lie.
class MediaFileStream : public TagLib::IOStream {
public:
    explicit MediaFileStream(MediaFile& file) : file_(file) {}
    TagLib::FileName name() const override { return file_.path().c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override {
        const int64_t left = std::max<int64_t>(0, file_.size() - position_);
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(std::min<unsigned long>(length, 1UL << 30))));
        TagLib::ByteVector bytes(static_cast<unsigned int>(want), '\0');
        const size_t got = want ? file_.Read(position_, bytes.data(), want) : 0;
        bytes.resize(static_cast<unsigned int>(got));
        position_ += static_cast<int64_t>(got);
        return bytes;
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return file_.isOpen(); }
    void seek(long offset, Position p) override {
        const int64_t base = p == Beginning ? 0 : p == Current ? position_ : file_.size();
        position_ = std::max<int64_t>(0, base + offset);
    }
    long tell() const override { return static_cast<long>(position_); }
    long length() override { return static_cast<long>(file_.size()); }
    void truncate(long) override {}

private:
    MediaFile& file_;
    int64_t position_ = 0;
};

// The MPEG audio files TagLib's generic reference reads with its MPEG reader: for those the
// bit rate read with the tags is the one it would give. It goes by the extensions it knows
// (.mp3, .mp2 and .aac to the MPEG reader), by the content for any other (.mpga, a name
// without one, an odd one), which for MPEG audio is the MPEG reader too.
bool ReadAsMpeg(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (dot < 0 || dot < slash) return true;
    const QString suffix = path.mid(dot + 1).toUpper();
    if (suffix == QLatin1String("MP3") || suffix == QLatin1String("MP2") || suffix == QLatin1String("AAC")) return true;
    static const TagLib::StringList known = TagLib::FileRef::defaultFileExtensions();
    for (const TagLib::String& ext : known)
        if (suffix == QString::fromStdString(ext.upper().to8Bit())) return false;
    return true;
}

QString Number(long long value) { return QString::number(value); }

}  // namespace

ReaderDecoder::ReaderDecoder(bool quiet) : handle_(NewStreamInfoHandle(quiet)) {}

ReaderDecoder::~ReaderDecoder() {
    if (handle_) mpg123_delete(handle_);
}

QString DecoderTroubleMessage(const char* decoderText) {
    return QString::fromLocal8Bit(StreamTroubleMessage(decoderText).c_str());
}

void MediaInfoReader::ReadMediaInfo(const QString& path, FileRow& row, RowWriter& writer, int64_t regularBytes) {
    for (int column = kColTag; column <= kColComment; ++column) SetCell(row, writer, column, QString());

    ReadStreamAndTags(path, row, writer, regularBytes);

    const QString duration = DurationCellText(row.info.duration);
    if (!duration.isEmpty()) SetCell(row, writer, kColDuration, duration);

    if (row.info.channels == 1) {
        SetCell(row, writer, kColChannel, QStringLiteral("1 (Mono)"));
    } else if (row.info.channels == 2) {
        SetCell(row, writer, kColChannel, QStringLiteral("2 (Stereo)"));
    } else if (row.info.channels != 0) {
        SetCell(row, writer, kColChannel, Number(row.info.channels));
    }
    if (row.info.sampleRate != 0) SetCell(row, writer, kColFrequency, Number(row.info.sampleRate) + QStringLiteral(" Hz"));

    writer.StoreRecord(row.info);
}

void MediaInfoReader::ReadStreamAndTags(const QString& path, FileRow& row, RowWriter& writer, int64_t regularBytes) {
    const std::string nativePath = NativePath(path).toStdString();
    // One open for both steps (and the bit rate), whatever the format: the stream probe and
    // the tag reader work from the same head and tail in memory. Only a regular file is
    // opened: anything else reads as a file that cannot be opened.
    MediaFile media;
    media.Open(nativePath, regularBytes);
    // A name that says MPEG audio pays no FFmpeg probe; for any other name FFmpeg's probe
    // decides, and the same probe goes on to read the stream when it is not MPEG audio.
    if (HasMpegAudioExtension(nativePath)) {
        ReadMpegAudio(path, media, row, writer);
        return;
    }
    if (ReadByTagLib(path, media, row, writer)) return;
    const AudioFileInfo stream = ProbeAudioFile(nativePath, media);
    if (stream.mpegAudio) {
        ReadMpegAudio(path, media, row, writer);
    } else {
        ReadOtherAudio(path, media, stream, row, writer);
    }
}

void MediaInfoReader::ReadMpegAudio(const QString& path, MediaFile& media, FileRow& row, RowWriter& writer) {
    FileItemInfo& info = row.info;

    // Stream step: format and length from the decoder's queries, nothing decoded.
    const StreamInfo stream = ReadStreamInfo(decoder_, media);
    constantPath_ = path;
    constantKbps_ = stream.readable ? stream.constantKbps : 0;
    tagKbps_ = -1;
    if (stream.readable) {
        info.totalSamples = stream.totalSamples;
        info.channels = static_cast<int32_t>(stream.channels);
        info.sampleRate = static_cast<int32_t>(stream.sampleRate);
        info.duration = stream.duration;
        writer.AddSeconds(info.duration);
    } else {
        info.unreadable = 1;
        writer.ReportUnreadable(QString::fromLocal8Bit(stream.message.c_str()));
    }

    // Tag step, for unreadable files too. The audio properties come along for the bit rate.
    MediaFileStream tagStream(media);
    const bool withProperties = ReadAsMpeg(path);
    TagLib::MPEG::File file(&tagStream, TagLib::ID3v2::FrameFactory::instance(), withProperties,
                            TagLib::AudioProperties::Fast);
    if (withProperties) tagKbps_ = file.isOpen() && file.audioProperties() ? file.audioProperties()->bitrate() : 0;
    TagLib::ID3v2::Tag* id3v2 = nullptr;
    TagLib::APE::Tag* ape = nullptr;
    TagLib::ID3v1::Tag* id3v1 = nullptr;
    QString tagText;
    if (file.isOpen()) {
        id3v2 = file.ID3v2Tag(false);
        // Emptiness is the basic-field test of the generic tag (title, artist, album, comment,
        // genre, year, track): an ID3v2 tag holding only other frames does not count.
        if (id3v2 && id3v2->TagLib::Tag::isEmpty()) id3v2 = nullptr;
        if (id3v2) {
            info.tagKinds |= kTagId3v2;
            tagText += QStringLiteral("ID3v2.%1  ").arg(id3v2->header()->majorVersion());
        }
        ape = file.APETag(false);
        if (ape) {
            info.tagKinds |= kTagApe;
            tagText += QStringLiteral("APEv%1  ").arg(ape->footer()->version() / 1000);
        }
        id3v1 = file.ID3v1Tag(false);
        if (id3v1 && id3v1->TagLib::Tag::isEmpty()) id3v1 = nullptr;
        if (id3v1) {
            info.tagKinds |= kTagId3v1;
            tagText += QStringLiteral("ID3v1");
        }
    }
    SetCell(row, writer, kColTag, tagText);
    if (id3v2) FillFromId3v2(*id3v2, row, writer);
    if (ape) FillFromApe(*ape, row, writer);
    if (id3v1) FillFromId3v1(*id3v1, row, writer);
}

namespace {

uint32_t OutputChannels(int channels) { return channels <= 1 ? 1u : 2u; }

// `frames` per channel at `rate` as the engine's probe gives them.
AudioFileInfo StreamOf(const char* typeName, int rate, int channels, uint64_t frames, int kbps) {
    AudioFileInfo info;
    info.readable = true;
    info.typeName = typeName;
    info.sampleRate = static_cast<uint32_t>(rate);
    info.channels = OutputChannels(channels);
    info.totalSamples = frames * info.channels;
    info.duration = static_cast<double>(frames) / rate;
    info.bitrateKbps = kbps;
    return info;
}

uint64_t FramesOfLength(const TagLib::AudioProperties& p) {
    return static_cast<uint64_t>(std::llround(p.lengthInMilliseconds() * static_cast<double>(p.sampleRate()) / 1000.0));
}

bool Usable(const TagLib::AudioProperties* p) {
    return p && p->sampleRate() > 0 && p->channels() > 0 && p->lengthInMilliseconds() > 0;
}

}  // namespace

bool MediaInfoReader::ReadByTagLib(const QString& path, MediaFile& media, FileRow& row, RowWriter& writer) {
    // The first bytes name the container; a FLAC file behind an ID3v2 tag and anything else
    // go to FFmpeg's probe.
    unsigned char b[64] = {};
    if (!media.isOpen() || media.Read(0, b, sizeof b) != sizeof b) return false;
    MediaFileStream stream(media);
    auto read = [&](TagLib::File& file, const AudioFileInfo& info) {
        ReadOtherAudio(path, media, info, row, writer, &file);
        return true;
    };
    if (std::memcmp(b, "fLaC", 4) == 0) {
        // Our own parser for the plain file; TagLib's reader when it declines.
        FlacMetadata flac;
        if (ReadFlacMetadata(media, flac)) {
            ApplyOtherStream(path, StreamOf("FLAC", static_cast<int>(flac.sampleRate), static_cast<int>(flac.channels),
                                            flac.sampleFrames, flac.bitrateKbps),
                             row, writer);
            if (flac.comments.empty()) return true;
            SetCell(row, writer, kColTag, QStringLiteral("Xiph"));
            FillFromNamedFields(
                [&](const char* key) {
                    const std::string* value = flac.First(key);
                    return value ? Utf8ToWide(*value) : QString();
                },
                row, writer);
            return true;
        }
        TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, TagLib::AudioProperties::Fast);
        const TagLib::FLAC::Properties* p = file.audioProperties();
        // STREAMINFO's sample count is the decoded length, exactly; without it, FFmpeg reads on.
        if (!file.isValid() || !Usable(p) || p->sampleFrames() == 0) return false;
        return read(file, StreamOf("FLAC", p->sampleRate(), p->channels(), p->sampleFrames(), p->bitrate()));
    }
    if (std::memcmp(b, "OggS", 4) == 0) {
        // The first page holds the codec's identification packet alone.
        const size_t packet = 27 + b[26];
        if (packet + 8 > sizeof b) return false;
        if (std::memcmp(b + packet, "vorbis", 7) == 0) {
            TagLib::Ogg::Vorbis::File file(&stream, true, TagLib::AudioProperties::Fast);
            const TagLib::AudioProperties* p = file.audioProperties();
            if (!file.isValid() || !Usable(p)) return false;
            return read(file, StreamOf("OGG", p->sampleRate(), p->channels(), FramesOfLength(*p), p->bitrate()));
        }
        if (std::memcmp(b + packet, "OpusHead", 8) == 0) {
            TagLib::Ogg::Opus::File file(&stream, true, TagLib::AudioProperties::Fast);
            const TagLib::AudioProperties* p = file.audioProperties();
            if (!file.isValid() || !Usable(p)) return false;
            return read(file, StreamOf("OPUS", p->sampleRate(), p->channels(), FramesOfLength(*p), p->bitrate()));
        }
        return false;
    }
    if (std::memcmp(b + 4, "ftyp", 4) == 0) {
        // An audiobook says so by its major brand.
        const char* const type = std::memcmp(b + 8, "M4B ", 4) == 0 ? "M4B" : "M4A";
        TagLib::MP4::File file(&stream, true, TagLib::AudioProperties::Fast);
        const TagLib::MP4::Properties* p = file.audioProperties();
        if (!file.isValid() || !Usable(p)) return false;
        if (p->codec() == TagLib::MP4::Properties::ALAC) {
            return read(file, StreamOf(type, p->sampleRate(), p->channels(), FramesOfLength(*p), p->bitrate()));
        }
        // The sample entry's channel count is often 2 for a mono stream: the decoder's
        // configuration says. SBR (explicit, or implicit below 24 kHz) doubles the rate the
        // decoder gives over the one the container states: FFmpeg's probe decodes to know.
        Mp4AacConfig aac;
        if (p->codec() == TagLib::MP4::Properties::AAC && ReadMp4AacConfig(media, aac) && aac.objectType != 5 &&
            aac.objectType != 29 && aac.channelConfig != 0 && aac.sampleRate > 24000 && aac.sampleRate == p->sampleRate()) {
            return read(file, StreamOf(type, p->sampleRate(), aac.channelConfig, FramesOfLength(*p), p->bitrate()));
        }
        return false;
    }
    return false;
}

void MediaInfoReader::ReadOtherAudio(const QString& path, MediaFile& media, const AudioFileInfo& stream, FileRow& row,
                                     RowWriter& writer, TagLib::File* tagged) {
    ApplyOtherStream(path, stream, row, writer);

    // Tag step, for unreadable files too, by TagLib's reader of the file's kind (chosen by
    // the name, then by the content, as for a path), on the same open file. No audio
    // properties: the probe gave them.
    if (!media.isOpen()) return;
    MediaFileStream tagStream(media);
    std::unique_ptr<TagLib::FileRef> ref;
    TagLib::File* file = tagged;
    if (!file) {
        ref = std::make_unique<TagLib::FileRef>(&tagStream, false);
        if (ref->isNull()) return;
        file = ref->file();
    }
    const TagLib::PropertyMap properties = file->properties();
    if (properties.isEmpty()) return;
    // The Tag column names the kind of tag read, as it does for ID3 and APE.
    QString kind;
    if (dynamic_cast<TagLib::FLAC::File*>(file) || dynamic_cast<TagLib::Ogg::File*>(file)) {
        kind = QStringLiteral("Xiph");
    } else if (dynamic_cast<TagLib::MP4::File*>(file)) {
        kind = QStringLiteral("MP4");
    } else if (dynamic_cast<TagLib::ASF::File*>(file)) {
        kind = QStringLiteral("ASF");
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        kind = wav->hasID3v2Tag() ? QStringLiteral("ID3v2") : QStringLiteral("RIFF INFO");
    }
    SetCell(row, writer, kColTag, kind);
    FillFromProperties(properties, row, writer);
}

void MediaInfoReader::ApplyOtherStream(const QString& path, const AudioFileInfo& stream, FileRow& row, RowWriter& writer) {
    FileItemInfo& info = row.info;

    // Stream step: FFmpeg's probe or a parser, done by the caller.
    constantPath_ = path;
    constantKbps_ = stream.readable ? stream.bitrateKbps : 0;
    tagKbps_ = 0;  // the probe's figure is this file's bit rate: nothing more to open for it
    if (stream.readable) {
        info.totalSamples = stream.totalSamples;
        info.channels = static_cast<int32_t>(stream.channels);
        info.sampleRate = static_cast<int32_t>(stream.sampleRate);
        info.duration = stream.duration;
        SetCell(row, writer, kColType, QString::fromStdString(stream.typeName));
        writer.AddSeconds(info.duration);
    } else {
        info.unreadable = 1;
        writer.ReportUnreadable(QString::fromLocal8Bit(stream.message.c_str()));
    }
}

void MediaInfoReader::FillFromProperties(const TagLib::PropertyMap& properties, FileRow& row, RowWriter& writer) {
    FillFromNamedFields(
        [&](const char* key) {
            auto it = properties.find(TagLib::String(key));
            return it == properties.end() || it->second.isEmpty() ? QString() : TagTextToWide(it->second.front());
        },
        row, writer);
}

void MediaInfoReader::FillFromId3v2(TagLib::ID3v2::Tag& tag, FileRow& row, RowWriter& writer) {
    const TagLib::ID3v2::FrameListMap& frames = tag.frameListMap();
    auto frameText = [&](const char* id, int column) {
        auto it = frames.find(TagLib::ByteVector(id));
        if (it == frames.end() || it->second.isEmpty()) return;
        FillField(row, writer, column, TagTextToWide(it->second.front()->toString()));
    };
    for (int column : kTagFieldColumns) {
        switch (column) {
        case kColArtist: frameText("TPE1", column); break;
        case kColAlbumArtist: frameText("TPE2", column); break;
        case kColAlbum: frameText("TALB", column); break;
        case kColTrack: frameText("TRCK", column); break;
        case kColTitle: frameText("TIT2", column); break;
        case kColDate: frameText("TDRC", column); break;
        case kColGenre: {
            const QString genre = TagTextToWide(tag.genre());
            if (!genre.isEmpty()) FillField(row, writer, column, genre);
            break;
        }
        case kColComment: {
            const QString comment = TagTextToWide(tag.comment());
            if (!comment.isEmpty()) FillField(row, writer, column, comment);
            break;
        }
        }
    }
}

void MediaInfoReader::FillFromApe(TagLib::APE::Tag& tag, FileRow& row, RowWriter& writer) {
    const TagLib::APE::ItemListMap& items = tag.itemListMap();
    // nullptr when the key is missing.
    auto find = [&](const char* key) -> const TagLib::APE::Item* {
        auto it = items.find(TagLib::String(key));
        return it == items.end() ? nullptr : &it->second;
    };
    auto present = [](const TagLib::APE::Item* item) { return item && !item->isEmpty(); };
    auto single = [&](const char* key, int column) {
        const TagLib::APE::Item* item = find(key);
        if (present(item)) FillField(row, writer, column, TagTextToWide(item->toString()));
    };
    auto withFallback = [&](const char* first, const char* second, int column) {
        const TagLib::APE::Item* item = find(first);
        if (!present(item)) item = find(second);
        if (present(item)) FillField(row, writer, column, TagTextToWide(item->toString()));
    };
    for (int column : kTagFieldColumns) {
        switch (column) {
        case kColArtist: single("ARTIST", column); break;
        case kColAlbumArtist: withFallback("ALBUM ARTIST", "ALBUMARTIST", column); break;
        case kColAlbum: single("ALBUM", column); break;
        case kColTrack: {
            // The text of the item looked up last is written, also when it is empty.
            const TagLib::APE::Item* item = find("TRACK");
            if (!present(item)) item = find("TRACKNUMBER");
            FillField(row, writer, column, item ? TagTextToWide(item->toString()) : QString());
            break;
        }
        case kColTitle: single("TITLE", column); break;
        case kColGenre: single("GENRE", column); break;
        case kColDate: withFallback("DATE", "YEAR", column); break;
        case kColComment: single("COMMENT", column); break;
        }
    }
}

void MediaInfoReader::FillFromId3v1(TagLib::ID3v1::Tag& tag, FileRow& row, RowWriter& writer) {
    auto latin1 = [](const TagLib::String& s) { return QString::fromLatin1(s.toCString(false)); };
    for (int column : kTagFieldColumns) {
        switch (column) {
        case kColArtist: FillField(row, writer, column, latin1(tag.artist())); break;
        case kColAlbumArtist: break;  // ID3v1 has no album artist
        case kColAlbum: FillField(row, writer, column, latin1(tag.album())); break;
        case kColTrack:
            if (tag.track() != 0 && row.cells[column].isEmpty()) {
                const QString text = Number(tag.track());
                SetCell(row, writer, column, text);
                row.info.track = text;
                row.info.trackNumber = static_cast<uint8_t>(tag.track() & 0xFF);
                row.info.trackCount = 0;
            }
            break;
        case kColTitle: FillField(row, writer, column, latin1(tag.title())); break;
        case kColGenre: FillField(row, writer, column, latin1(tag.genre())); break;
        case kColDate:
            if (tag.year() != 0) FillField(row, writer, column, Number(tag.year()));
            break;
        case kColComment: FillField(row, writer, column, latin1(tag.comment())); break;
        }
    }
}

void MediaInfoReader::ReadBitrate(const QString& path, FileRow& row, RowWriter& writer) {
    // The figure read with the tags when it is the one the generic reference gives; a file
    // of another kind (or another file) is opened for it.
    int kbps = path == constantPath_ ? tagKbps_ : -1;
    if (kbps < 0) {
        // Through a file of our own, never by path: only a regular file is opened, and
        // without blocking (a pipe's name must not hang the load).
        const std::string nativePath = NativePath(path).toStdString();
        MediaFile media;
        media.Open(nativePath);
        kbps = 0;
        if (media.isOpen()) {
            MediaFileStream stream(media);
            TagLib::FileRef ref(&stream, true, TagLib::AudioProperties::Fast);
            kbps = !ref.isNull() && ref.audioProperties() ? ref.audioProperties()->bitrate() : 0;
        }
    }
    // A constant-bit-rate stream shows the rate its frames carry ("320 kbps", not the 321
    // that the library's estimate from the file's size gives; a free-format stream, which
    // TagLib gives no rate for, its frames' rate too); VBR keeps the average.
    const int frames = path == constantPath_ ? constantKbps_ : 0;
    if (frames > 0) kbps = frames;
    if (kbps != 0) {
        row.info.bitrate = kbps;
        SetCell(row, writer, kColBitrate, Number(row.info.bitrate) + QStringLiteral(" kbps"));
    }
    writer.StoreRecord(row.info);
}

long long WideTextToInteger(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && std::iswspace(static_cast<wint_t>(text[i].unicode()))) ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    // Saturates like the C conversion does on overflow.
    long long value = 0;
    bool saturated = false;
    for (; i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        const int digit = text[i].unicode() - u'0';
        if (!saturated && value > (LLONG_MAX - digit) / 10) saturated = true;
        if (!saturated) value = value * 10 + digit;
    }
    if (saturated) return negative ? LLONG_MIN : LLONG_MAX;
    return negative ? -value : value;
}

void ApplyTrackText(const QString& text, FileItemInfo& info) {
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        info.trackCount = static_cast<uint8_t>(static_cast<unsigned long long>(WideTextToInteger(text.mid(slash + 1))) & 0xFF);
        info.trackNumber = static_cast<uint8_t>(static_cast<unsigned long long>(WideTextToInteger(text.left(slash))) & 0xFF);
    } else {
        info.trackNumber = static_cast<uint8_t>(static_cast<unsigned long long>(WideTextToInteger(text)) & 0xFF);
    }
}

QString TagTextToWide(const TagLib::String& text) {
    if (text.isLatin1()) return QString::fromLatin1(text.toCString(false));
    return Utf8ToWide(text.to8Bit(true));
}

QString Utf8ToWide(const std::string& bytes) { return Utf8ToWide(bytes.data(), bytes.size()); }

QString Utf8ToWide(const char* bytes, size_t length) {
    QString out;
    if (!bytes) return out;
    const size_t end = ::strnlen(bytes, length);
    // Written in place into room for the longest result (one unit per byte), then cut to
    // size: an append per character cost more than the decoding.
    out.resize(static_cast<qsizetype>(end));
    char16_t* to = reinterpret_cast<char16_t*>(out.data());
    char16_t* const start = to;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    constexpr char16_t kReplacement = 0xFFFD;
    size_t i = 0;
    while (i < end) {
        const unsigned char b0 = b[i];
        if (b0 < 0x80) {
            *to++ = b0;
            i += 1;
        } else if (b0 <= 0xDF) {
            if (i + 1 >= end) { *to++ = kReplacement; break; }
            *to++ = static_cast<char16_t>(((b0 & 0x3F) << 6) | (b[i + 1] & 0x3F));
            i += 2;
        } else if (b0 <= 0xEF) {
            if (i + 2 >= end) { *to++ = kReplacement; break; }
            *to++ = static_cast<char16_t>(((b0 & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F));
            i += 3;
        } else if (b0 <= 0xF7) {
            if (i + 3 >= end) { *to++ = kReplacement; break; }
            const char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(b[i + 1] & 0x3F) << 12) |
                                (char32_t(b[i + 2] & 0x3F) << 6) | char32_t(b[i + 3] & 0x3F);
            if (cp >= 0x10000 && cp <= 0x10FFFF) {
                // Four bytes make two units: still no more units than bytes.
                *to++ = QChar::highSurrogate(cp);
                *to++ = QChar::lowSurrogate(cp);
            } else {
                *to++ = kReplacement;
            }
            i += 4;
        } else {
            *to++ = kReplacement;
            i += 1;
        }
    }
    out.truncate(static_cast<qsizetype>(to - start));
    return out;
}

}  // namespace velmora
