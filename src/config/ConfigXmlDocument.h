#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

// Basic types of a converted value.
constexpr int32_t CFG_VALUE_NONE = 0;
constexpr int32_t CFG_VALUE_BOOL = 1;
constexpr int32_t CFG_VALUE_INT32 = 2;
constexpr int32_t CFG_VALUE_INT64 = 3;
constexpr int32_t CFG_VALUE_REAL = 4;
constexpr int32_t CFG_VALUE_NODENAME = 5; // the element name that ReadElementList keeps
constexpr int32_t CFG_VALUE_TEXT = 6;

// The value-type code of every element name that a key schema does not list.
constexpr int32_t CFG_DEFAULT_TYPE_CODE = 20;

// One entry of the value-type table: text length bounds (inclusive, in characters) and basic type.
struct stConfigValueType
{
    int16_t minLength = 0;
    int16_t maxLength = 0;
    int32_t basicType = CFG_VALUE_NONE;
};
// The entry of a code in the table every document builds, or none; for log lines that name bounds.
const stConfigValueType *ConfigValueTypeOf(int32_t typeCode);

// One converted value; type 0 means that nothing was converted.
struct stConfigValue
{
    int32_t type = CFG_VALUE_NONE;
    uint8_t boolean = 0;
    int32_t integer = 0;
    int64_t integer64 = 0; // also the full 64 bits of a hexadecimal (code 3) element read
    float real = 0.0f;
    std::string narrowText; // no read fills it
    std::wstring text;      // for the other basic types: the text as written, for log lines
};
void ClearConfigValue(stConfigValue &value);

// Options of ReadElementList.
struct stReadElementFlags
{
    uint8_t ReadId = 0;         // items need a valid "id" attribute; stored as "id"
    uint8_t KeepNodeName = 0;   // store the item's element name as "nodeName"
    uint8_t SkipEmptyItems = 0; // drop items without children
    uint8_t AppendIdToKey = 0;  // a child with an id above 0 is stored as "name[id]"
    uint8_t KeepUntyped = 0;    // store children whose value stayed unset too
};

// One step of a path for ReadElement: an element path relative to the previous step (the first
// step may be absolute, such as "/Config/General"), and an index: above 0 picks, among the elements
// that the name matches, the one whose "id" attribute equals it; 0 or less picks the first.
struct stConfigPathStep
{
    std::wstring name;
    int16_t index = 0;
};
using ConfigPath = std::map<int32_t, stConfigPathStep>;

// Element name (exact case) to value-type code.
using ConfigKeySchema = std::map<std::wstring, int32_t>;
// Key (element name, possibly with "[id]") to value; the first value of a key stays.
using ConfigValueMap = std::map<std::wstring, stConfigValue>;
// An element of a loaded document, lent by ReadElementList for reads below it; valid until the
// document is loaded again or closed.
using ConfigElement = const _xmlNode *;

// One loaded XML configuration file with its typed reads. A document belongs to the thread that
// made it. Paths are plain element paths ("/Config/General", "EfficiencyCtrl"): names are matched
// exactly, step by step, and are never turned into XPath expressions, so any configured alias is safe
// to pass. Every read returns 0 (or a count) or one of the negative codes listed in the .cpp.
class CConfigXmlDocument
{
public:
    CConfigXmlDocument();
    ~CConfigXmlDocument();
    CConfigXmlDocument(const CConfigXmlDocument &) = delete;
    CConfigXmlDocument &operator=(const CConfigXmlDocument &) = delete;

    // Releases the document and empties the value-type table and the path.
    void Close();
    // 0, or -4 when the file cannot be read or parsed (LastError says why, with the line of the
    // first error); -1 after Close. A file that declares entities is refused: configuration files
    // have no use for them, and their expansion is unbounded. The parser's own messages go to the
    // debug log, never to stderr.
    [[nodiscard]] int32_t Load(const std::wstring &path);
    // Writes the document in the encoding it was loaded in; 0, -1 without a document, -4 on failure.
    [[nodiscard]] int32_t Save(const std::wstring &path);

    // The text of the first element named key at any depth below the element at xpath, converted
    // by the type code.
    int32_t GetNodeValue(const wchar_t *xpath, const wchar_t *key, int32_t typeCode, stConfigValue &value);
    // Every child of the element reached by the path, by the schema; ids appended to the keys.
    int32_t ReadElement(const ConfigPath &path, ConfigValueMap &values, const ConfigKeySchema *schema);
    // ReadElement with the path walked from an element of this document (-4 for one of another).
    int32_t ReadElementBelow(ConfigElement from, const ConfigPath &path, ConfigValueMap &values,
                             const ConfigKeySchema *schema);
    // One map per child element of the element at xpath; the number of maps in items afterwards.
    // With elements, the element of each map appended is appended to it too.
    int32_t ReadElementList(const wchar_t *xpath, std::vector<ConfigValueMap> &items, const ConfigKeySchema *schema,
                            const stReadElementFlags &flags, std::vector<ConfigElement> *elements = nullptr);
    // The names of the child elements of the element at xpath that hold elements of their own but
    // no usable "id" attribute: items that a numbered read passes over. Their number, or a code.
    int32_t ListItemsWithoutId(const wchar_t *xpath, std::vector<std::wstring> &names);
    // True when the loaded document has an element at xpath.
    bool HasElement(const wchar_t *xpath) const;
    // Sets (or adds) "CtrlPort" under "/config/MOXGeneral": 1 when set, 0 without that element.
    int32_t WriteMoxCtrlPort(const std::wstring &port);

    const std::wstring &Path() const { return m_path; }
    bool IsLoaded() const { return m_loaded != 0; }
    // Why the last Load or Save failed, for the loaders' log lines.
    const std::wstring &LastError() const { return m_lastError; }
    // The table entry of a code, or none.
    const stConfigValueType *FindValueType(int32_t typeCode) const;

    // The element's "id" attribute: -4 no node, -16384 no attributes, -8192 no "id", -4096 an empty
    // text or one over 12 characters, else its decimal value.
    static int32_t ReadIdAttribute(const _xmlNode *node);

private:
    void BuildValueTypeTable();
    void ReleaseDocument();
    int32_t ReadChildValue(const _xmlNode *node, std::wstring &name, const stReadElementFlags &flags,
                           stConfigValue &value, const ConfigKeySchema &schema) const;
    // The element at xpath for a list read: 0 with it, or -1, -4 or a code of the selection.
    int32_t SelectListElement(const wchar_t *xpath, _xmlNode *&list) const;
    int32_t WalkAndReadElement(_xmlNode *start, const ConfigPath &path, ConfigValueMap &values,
                               const ConfigKeySchema *schema);
    void ConvertText(const std::wstring &text, int32_t typeCode, int32_t basicType, bool elementRead,
                     stConfigValue &value) const;

    std::wstring m_path;
    _xmlDoc *m_document = nullptr;
    uint8_t m_loaded = 0;
    std::map<int32_t, stConfigValueType> m_valueTypes;
    std::string m_saveEncoding; // the encoding the file was read in
    std::wstring m_lastError;
};
