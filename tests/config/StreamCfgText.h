#pragma once

// Pieces of "StreamCfg.xml" texts for the loader tests.

#include <string>

// <key>text</key>
inline std::string Key(const std::string &key, const std::string &text)
{
    return "<" + key + ">" + text + "</" + key + ">";
}

// <key id="n">text</key>
inline std::string NumberedKey(const std::string &key, int id, const std::string &text)
{
    return "<" + key + " id=\"" + std::to_string(id) + "\">" + text + "</" + key + ">";
}

// An item element: the worker's name with its number and keys.
inline std::string Item(const std::string &name, int id, const std::string &keys)
{
    return NumberedKey(name, id, keys);
}

// A section with its count and items.
inline std::string Section(const std::string &section, const std::string &countKey, int count,
                           const std::string &items)
{
    return "<" + section + ">" + Key(countKey, std::to_string(count)) + items + "</" + section + ">";
}

// A file source with a video stream 1 and an audio stream 2 (stream ids: worker id + 1, + 2).
inline std::string FileSourceItem(const std::string &name, int id)
{
    return Item(name, id,
                Key("MSTYPE", "FILE") + Key("MSFullPath", "media/" + name + ".mp4") + Key("STRMCOUNT", "2") +
                    NumberedKey("Stream", 1, Key("StrmType", "Video") + Key("avStrmId", "0")) +
                    NumberedKey("Stream", 2, Key("StrmType", "Audio") + Key("avStrmId", "1")));
}

// Sources S1 and S2 and one decoder of each (D1 and D2, ids 0x02010000 and 0x02020000).
inline std::string TwoDecodedSources()
{
    return Section("MediaSources", "MSCount", 2, FileSourceItem("S1", 1) + FileSourceItem("S2", 2)) +
           Section("VideoDecoders", "VDCDCount", 2,
                   Item("D1", 1, Key("VideoSource", "MediaSources.S1.VideoOutput")) +
                       Item("D2", 2, Key("VideoSource", "MediaSources.S2.VideoOutput")));
}

inline std::string Document(const std::string &sections)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>" + sections + "</Config>\n";
}
