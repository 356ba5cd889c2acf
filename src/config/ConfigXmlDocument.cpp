#include "config/ConfigXmlDocument.h"

#include "config/ConfigText.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

// Result codes, as the loaders and the remote-control module test them:
//   GetNodeValue: -1 no document, -4 no path or an unknown type code, -8 no document element,
//   -16 the path matches nothing, -128 no element with that name, -4096 text length out of bounds.
//   ReadElement: -1, -8, -16 a step without index matches nothing, -128 an indexed step matches
//   nothing, -262144 no element with the wanted id, -64 the reached element has no children.
//   ReadElementList: -1, -4, -8, -16, -128 the element has no children.
// Values are taken from an element's text with white space trimmed at both ends, so that a value
// written on its own indented line reads the same as one written inline.

namespace {

constexpr size_t MAX_CONFIG_FILE_BYTES = 16u << 20;
constexpr size_t MAX_NODE_VALUE_COUNTED = 256; // GetNodeValue counts at most this many characters
constexpr size_t MAX_CHILD_TEXT = 255;
constexpr size_t MAX_ELEMENT_NAME = 127;
constexpr size_t MAX_ID_TEXT = 12;

constexpr int32_t RC_NO_DOCUMENT = -1;
constexpr int32_t RC_BAD_ARGUMENT = -4;
constexpr int32_t RC_NO_ROOT = -8;
constexpr int32_t RC_NO_MATCH = -16;
constexpr int32_t RC_NO_CHILDREN = -64;
constexpr int32_t RC_EMPTY_LIST = -128;
constexpr int32_t RC_LENGTH = -4096;
constexpr int32_t RC_ID_UNREADABLE = -8192;
constexpr int32_t RC_NO_ATTRIBUTES = -16384;
constexpr int32_t RC_NOT_ELEMENT = -65536;
constexpr int32_t RC_BAD_NAME = -131072;
constexpr int32_t RC_NO_SUCH_ID = -262144;

void InitLibxmlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

const char *AsChars(const xmlChar *text)
{
    return reinterpret_cast<const char *>(text);
}

std::wstring Utf8ToWide(const xmlChar *text)
{
    return text ? StringToWString(AsChars(text)) : std::wstring();
}

std::wstring NodeName(const xmlNode *node)
{
    return Utf8ToWide(node->name);
}

bool IsElement(const xmlNode *node)
{
    return node && node->type == XML_ELEMENT_NODE;
}

bool NameIs(const xmlNode *node, const std::string &utf8Name)
{
    return IsElement(node) && node->name && utf8Name == AsChars(node->name);
}

// The concatenated text of the node and its descendants, trimmed.
std::wstring NodeText(const xmlNode *node)
{
    xmlChar *content = xmlNodeGetContent(node);
    std::wstring text = Utf8ToWide(content);
    xmlFree(content);
    TrimWhitespace(text);
    return text;
}

bool IsBlankText(const xmlChar *content)
{
    if (!content)
        return true;
    for (const xmlChar *c = content; *c; ++c) {
        if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n')
            return false;
    }
    return true;
}

// Children that count for "an element without children": elements, entity references and text
// that is not only the indentation of the file.
bool HasChildContent(const xmlNode *node)
{
    for (const xmlNode *child = node->children; child; child = child->next) {
        switch (child->type) {
        case XML_ELEMENT_NODE:
        case XML_ENTITY_REF_NODE:
            return true;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (!IsBlankText(child->content))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

std::vector<std::string> SplitPath(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

// The elements that an element path selects, in document order. An absolute path starts at the
// document (its first name must be the document element's); a relative one at the context node.
std::vector<xmlNode *> SelectElements(xmlNode *root, xmlNode *context, const std::wstring &path)
{
    std::vector<xmlNode *> nodes;
    if (path.empty())
        return nodes;
    const std::string utf8 = WStringToString(path);
    if (utf8.empty())
        return nodes;
    std::vector<std::string> parts = SplitPath(utf8);
    if (utf8[0] == '/') {
        if (parts.size() < 2 || !NameIs(root, parts[1]))
            return nodes;
        nodes.push_back(root);
        parts.erase(parts.begin(), parts.begin() + 2);
    } else {
        nodes.push_back(context);
    }
    for (const std::string &part : parts) {
        if (part.empty())
            return {};
        std::vector<xmlNode *> next;
        for (xmlNode *node : nodes) {
            for (xmlNode *child = node->children; child; child = child->next) {
                if (NameIs(child, part))
                    next.push_back(child);
            }
        }
        nodes.swap(next);
        if (nodes.empty())
            break;
    }
    return nodes;
}

// The first element of the document that an absolute element path selects: 0 with it, or why none.
int32_t SelectFirstElement(xmlDoc *document, const std::wstring &path, xmlNode *&found)
{
    xmlNode *root = xmlDocGetRootElement(document);
    if (!root)
        return RC_NO_ROOT;
    const std::vector<xmlNode *> selected = SelectElements(root, root, path);
    if (selected.empty())
        return RC_NO_MATCH;
    found = selected.front();
    return 0;
}

// The first element named name below node at any depth, in document order.
xmlNode *FindDescendant(xmlNode *node, const std::string &name)
{
    for (xmlNode *child = node->children; child; child = child->next) {
        if (!IsElement(child))
            continue;
        if (NameIs(child, name))
            return child;
        if (xmlNode *found = FindDescendant(child, name))
            return found;
    }
    return nullptr;
}

void StripQuotes(std::wstring &text)
{
    if (!text.empty() && (text.front() == L'"' || text.front() == L'\''))
        text.erase(0, 1);
    if (!text.empty() && (text.back() == L'"' || text.back() == L'\''))
        text.pop_back();
}

bool IsTrueWord(const std::wstring &text)
{
    return EqualsNoCase(text, L"True") || EqualsNoCase(text, L"T") || EqualsNoCase(text, L"On") ||
           EqualsNoCase(text, L"Yes");
}

const std::map<int32_t, stConfigValueType> &ValueTypeTable()
{
    static const std::map<int32_t, stConfigValueType> table = [] {
        struct stRow
        {
            int32_t code;
            int16_t minLength;
            int16_t maxLength;
            int32_t basicType;
        };
        static const stRow rows[] = {
            {1, 1, 7, CFG_VALUE_BOOL},    {2, 1, 22, CFG_VALUE_INT32},  {3, 1, 18, CFG_VALUE_INT32},
            {4, 1, 22, CFG_VALUE_REAL},   {5, 1, 14, CFG_VALUE_INT32},  {6, 1, 22, CFG_VALUE_INT64},
            {10, 1, 129, CFG_VALUE_TEXT}, {11, 1, 33, CFG_VALUE_TEXT},  {12, 1, 34, CFG_VALUE_TEXT},
            {14, 1, 34, CFG_VALUE_TEXT},  {20, 1, 257, CFG_VALUE_TEXT}, {21, 1, 65, CFG_VALUE_TEXT},
            {22, 1, 18, CFG_VALUE_TEXT},  {23, 3, 33, CFG_VALUE_TEXT},  {24, 8, 33, CFG_VALUE_TEXT},
            {25, 7, 258, CFG_VALUE_TEXT}, {26, 1, 66, CFG_VALUE_TEXT},  {27, 15, 514, CFG_VALUE_TEXT},
            {28, 15, 514, CFG_VALUE_TEXT}, {30, 2, 32, CFG_VALUE_TEXT}, {31, 2, 34, CFG_VALUE_TEXT},
            {33, 4, 66, CFG_VALUE_TEXT},  {35, 2, 66, CFG_VALUE_TEXT},  {36, 12, 22, CFG_VALUE_TEXT},
            {37, 3, 18, CFG_VALUE_TEXT},  {38, 2, 18, CFG_VALUE_TEXT},  {39, 8, 34, CFG_VALUE_TEXT},
            {40, 7, 17, CFG_VALUE_TEXT},  {41, 11, 19, CFG_VALUE_TEXT}, {42, 4, 42, CFG_VALUE_TEXT},
            {45, 3, 8, CFG_VALUE_TEXT},   {46, 4, 34, CFG_VALUE_TEXT},  {47, 4, 34, CFG_VALUE_TEXT},
            {48, 2, 18, CFG_VALUE_TEXT},
        };
        std::map<int32_t, stConfigValueType> built;
        for (const stRow &row : rows)
            built.emplace(row.code, stConfigValueType{row.minLength, row.maxLength, row.basicType});
        return built;
    }();
    return table;
}

std::string TrimmedMessage(const char *text)
{
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

// What libxml2 reports while one load or save runs on this thread: every message goes to the debug
// log instead of stderr, and the first error (with its line) is kept for the loader's own line,
// since later errors are mostly consequences of it. libxml2 keeps its handlers per thread, so
// documents used on other threads are not affected; the previous handlers are put back.
class CParserMessages
{
public:
    CParserMessages()
        : m_oldStructured(xmlStructuredError), m_oldStructuredContext(xmlStructuredErrorContext),
          m_oldGeneric(xmlGenericError), m_oldGenericContext(xmlGenericErrorContext)
    {
        xmlSetStructuredErrorFunc(this, &CParserMessages::OnError);
        xmlSetGenericErrorFunc(this, &CParserMessages::OnGeneric);
    }
    ~CParserMessages()
    {
        xmlSetStructuredErrorFunc(m_oldStructuredContext, m_oldStructured);
        xmlSetGenericErrorFunc(m_oldGenericContext, m_oldGeneric);
    }
    CParserMessages(const CParserMessages &) = delete;
    CParserMessages &operator=(const CParserMessages &) = delete;

    // Messages without a line of their own (encoding errors) take the parser's current one.
    void Watch(const xmlParserCtxt *context) { m_context = context; }
    const std::wstring &FirstError() const { return m_firstError; }

private:
#if LIBXML_VERSION >= 21200
    static void OnError(void *self, const xmlError *error)
#else
    static void OnError(void *self, xmlErrorPtr error)
#endif
    {
        if (error)
            static_cast<CParserMessages *>(self)->Take(error->level >= XML_ERR_ERROR, error->line, error->message);
    }

    static void OnGeneric(void *self, const char *format, ...)
    {
        char text[1024];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof(text), format, arguments);
        va_end(arguments);
        static_cast<CParserMessages *>(self)->Take(true, 0, text);
    }

    void Take(bool error, int line, const char *text)
    {
        const std::string message = TrimmedMessage(text);
        if (message.empty())
            return;
        if (line <= 0 && m_context && m_context->input)
            line = m_context->input->line;
        const std::wstring wide = StringToWString(message);
        TYX_LOG(5, L"[libxml2] line %d: %s", line, wide.c_str());
        if (!error || !m_firstError.empty())
            return;
        std::wostringstream out;
        out << wide;
        if (line > 0)
            out << L" (line " << line << L")";
        m_firstError = out.str();
    }

    xmlStructuredErrorFunc m_oldStructured;
    void *m_oldStructuredContext;
    xmlGenericErrorFunc m_oldGeneric;
    void *m_oldGenericContext;
    const xmlParserCtxt *m_context = nullptr;
    std::wstring m_firstError;
};

// Set by the parser when the file declares an entity; the parse is stopped there.
struct stEntityRefusal
{
    bool declared = false;
    std::wstring name;
    int line = 0;
};

void OnEntityDeclared(void *userData, const xmlChar *name, int, const xmlChar *, const xmlChar *, xmlChar *)
{
    xmlParserCtxtPtr context = static_cast<xmlParserCtxtPtr>(userData);
    auto *refusal = static_cast<stEntityRefusal *>(context->_private);
    if (!refusal->declared) {
        refusal->declared = true;
        refusal->name = Utf8ToWide(name);
        refusal->line = context->input ? context->input->line : 0;
    }
    xmlStopParser(context);
}

struct stParserContextFree
{
    void operator()(xmlParserCtxtPtr context) const { xmlFreeParserCtxt(context); }
};
struct stDocumentFree
{
    void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};
using ParserContextPtr = std::unique_ptr<xmlParserCtxt, stParserContextFree>;
using DocumentPtr = std::unique_ptr<xmlDoc, stDocumentFree>;

// Parses the bytes into a document, or none with the reason.
DocumentPtr ParseConfigBytes(const std::string &bytes, std::wstring &reason)
{
    if (bytes.empty()) {
        reason = L"the file is empty";
        return nullptr;
    }
    CParserMessages messages;
    ParserContextPtr context(xmlCreateMemoryParserCtxt(bytes.data(), static_cast<int>(bytes.size())));
    if (!context) {
        reason = L"out of memory";
        return nullptr;
    }
    // No network, no external DTD; entity declarations end the parse (OnEntityDeclared).
    xmlCtxtUseOptions(context.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA);
    stEntityRefusal refusal;
    context->_private = &refusal;
    context->sax->entityDecl = OnEntityDeclared;
    messages.Watch(context.get());
    xmlParseDocument(context.get());
    DocumentPtr document(context->myDoc);
    context->myDoc = nullptr;
    if (refusal.declared) {
        std::wostringstream out;
        out << L"the file declares the entity \"" << refusal.name << L"\" (line " << refusal.line
            << L"); configuration files take no entity declarations";
        reason = out.str();
        return nullptr;
    }
    if (!context->wellFormed || !document || !xmlDocGetRootElement(document.get())) {
        reason = messages.FirstError().empty() ? L"the document has no element" : messages.FirstError();
        return nullptr;
    }
    return document;
}

} // namespace

const stConfigValueType *ConfigValueTypeOf(int32_t typeCode)
{
    const auto found = ValueTypeTable().find(typeCode);
    return found == ValueTypeTable().end() ? nullptr : &found->second;
}

void ClearConfigValue(stConfigValue &value)
{
    value.type = CFG_VALUE_NONE;
    value.boolean = 0;
    value.integer = 0;
    value.integer64 = 0;
    value.real = 0.0f;
    value.narrowText.clear();
    value.text.clear();
}

CConfigXmlDocument::CConfigXmlDocument()
{
    InitLibxmlOnce();
    BuildValueTypeTable();
}

CConfigXmlDocument::~CConfigXmlDocument()
{
    Close();
}

void CConfigXmlDocument::BuildValueTypeTable()
{
    m_valueTypes = ValueTypeTable();
}

const stConfigValueType *CConfigXmlDocument::FindValueType(int32_t typeCode) const
{
    const auto found = m_valueTypes.find(typeCode);
    return found == m_valueTypes.end() ? nullptr : &found->second;
}

void CConfigXmlDocument::ReleaseDocument()
{
    if (m_document) {
        xmlFreeDoc(m_document);
        m_document = nullptr;
    }
    m_loaded = 0;
    m_saveEncoding.clear();
}

void CConfigXmlDocument::Close()
{
    ReleaseDocument();
    m_valueTypes.clear();
    m_path.clear();
}

int32_t CConfigXmlDocument::Load(const std::wstring &path)
{
    ReleaseDocument();
    m_lastError.clear();
    if (m_valueTypes.empty())
        return RC_NO_DOCUMENT; // closed
    const std::string utf8Path = WStringToString(path);
    if (utf8Path.empty()) {
        m_lastError = L"no file name";
        return RC_BAD_ARGUMENT;
    }
    errno = 0;
    std::ifstream file(utf8Path, std::ios::binary);
    if (!file) {
        // The system's reason tells a missing file from one that may not be read.
        const int error = errno;
        m_lastError = L"the file cannot be opened";
        if (error != 0)
            m_lastError += L" (" + StringToWString(std::strerror(error)) + L")";
        return RC_BAD_ARGUMENT;
    }
    std::string bytes;
    char chunk[65536];
    while (file.read(chunk, sizeof(chunk)) || file.gcount() > 0) {
        bytes.append(chunk, static_cast<size_t>(file.gcount()));
        if (bytes.size() > MAX_CONFIG_FILE_BYTES) {
            m_lastError = L"the file is larger than 16 MiB";
            return RC_BAD_ARGUMENT;
        }
    }
    if (file.bad()) {
        m_lastError = L"the file cannot be read";
        return RC_BAD_ARGUMENT;
    }

    DocumentPtr parsed = ParseConfigBytes(bytes, m_lastError);
    if (!parsed)
        return RC_BAD_ARGUMENT;
    xmlDocPtr document = parsed.release();

    const bool utf16 = bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                              static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                                             (static_cast<unsigned char>(bytes[0]) == 0xFE &&
                                              static_cast<unsigned char>(bytes[1]) == 0xFF));
    if (utf16)
        m_saveEncoding = "UTF-16";
    else if (document->encoding)
        m_saveEncoding = AsChars(document->encoding);
    else
        m_saveEncoding = "UTF-8"; // without a name libxml2 would write character references
    m_document = document;
    m_loaded = 1;
    m_path = path;
    return 0;
}

int32_t CConfigXmlDocument::Save(const std::wstring &path)
{
    m_lastError.clear();
    if (!m_document)
        return RC_NO_DOCUMENT;
    const std::string utf8Path = WStringToString(path);
    if (utf8Path.empty()) {
        m_lastError = L"no file name";
        return RC_BAD_ARGUMENT;
    }
    // Written beside the target and renamed over it, so a failed write never leaves half a file.
    std::string temporary = utf8Path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        m_lastError = L"the folder is not writable";
        return RC_BAD_ARGUMENT;
    }
    close(fd);
    int written = -1;
    {
        CParserMessages messages;
        written = xmlSaveFileEnc(temporary.c_str(), m_document, m_saveEncoding.c_str());
        if (written < 0)
            m_lastError = messages.FirstError().empty() ? L"the document cannot be written" : messages.FirstError();
    }
    if (written < 0) {
        unlink(temporary.c_str());
        return RC_BAD_ARGUMENT;
    }
    struct stat existing {};
    if (stat(utf8Path.c_str(), &existing) == 0)
        chmod(temporary.c_str(), existing.st_mode & 07777);
    else
        chmod(temporary.c_str(), 0644);
    if (std::rename(temporary.c_str(), utf8Path.c_str()) != 0) {
        m_lastError = L"the file cannot be replaced";
        unlink(temporary.c_str());
        return RC_BAD_ARGUMENT;
    }
    return 0;
}

void CConfigXmlDocument::ConvertText(const std::wstring &text, int32_t typeCode, int32_t basicType,
                                     bool elementRead, stConfigValue &value) const
{
    if (basicType != CFG_VALUE_TEXT)
        value.text = text;
    switch (basicType) {
    case CFG_VALUE_BOOL:
        value.boolean = IsTrueWord(text) ? 1 : 0;
        break;
    case CFG_VALUE_INT32:
        if (elementRead && typeCode == 3) {
            value.integer = WideToInt32(text, 16);
            value.integer64 = static_cast<int64_t>(WideToUInt64(text, 16));
        } else {
            value.integer = WideToInt32(text, 10);
        }
        break;
    case CFG_VALUE_INT64:
        value.integer64 = WideToInt64(text, 10);
        break;
    case CFG_VALUE_REAL:
        value.real = NarrowToFloat(WideToReal(text));
        break;
    case CFG_VALUE_TEXT:
        value.text = text;
        StripQuotes(value.text);
        break;
    default:
        break;
    }
}

bool CConfigXmlDocument::HasElement(const wchar_t *xpath) const
{
    xmlNode *found = nullptr;
    return m_document && xpath && SelectFirstElement(m_document, xpath, found) == 0;
}

int32_t CConfigXmlDocument::GetNodeValue(const wchar_t *xpath, const wchar_t *key, int32_t typeCode,
                                         stConfigValue &value)
{
    if (!m_document)
        return RC_NO_DOCUMENT;
    const stConfigValueType *valueType = FindValueType(typeCode);
    if (!xpath || !key || !valueType)
        return RC_BAD_ARGUMENT;
    ClearConfigValue(value);
    xmlNode *selected = nullptr;
    if (const int32_t rc = SelectFirstElement(m_document, xpath, selected); rc != 0)
        return rc;
    const std::string keyName = WStringToString(key);
    xmlNode *element = keyName.empty() ? nullptr : FindDescendant(selected, keyName);
    if (!element)
        return RC_EMPTY_LIST;
    const std::wstring text = NodeText(element);
    const size_t counted = std::min(text.size(), MAX_NODE_VALUE_COUNTED);
    if (counted < static_cast<size_t>(valueType->minLength) || counted > static_cast<size_t>(valueType->maxLength))
        return RC_LENGTH;
    ConvertText(text, typeCode, valueType->basicType, false, value);
    value.type = valueType->basicType;
    return 0;
}

int32_t CConfigXmlDocument::ReadIdAttribute(const _xmlNode *node)
{
    if (!node)
        return RC_BAD_ARGUMENT;
    if (!node->properties)
        return RC_NO_ATTRIBUTES;
    xmlChar *raw = xmlGetNoNsProp(node, BAD_CAST "id");
    if (!raw)
        return RC_ID_UNREADABLE;
    const std::wstring text = Utf8ToWide(raw);
    xmlFree(raw);
    if (text.empty() || text.size() > MAX_ID_TEXT)
        return RC_LENGTH;
    return WideToInt32(text, 10);
}

int32_t CConfigXmlDocument::ReadChildValue(const _xmlNode *node, std::wstring &name,
                                           const stReadElementFlags &flags, stConfigValue &value,
                                           const ConfigKeySchema &schema) const
{
    if (!node)
        return RC_BAD_ARGUMENT;
    name.clear();
    ClearConfigValue(value);
    if (!IsElement(node))
        return RC_NOT_ELEMENT;
    name = NodeName(node);
    if (name.empty() || name.size() > MAX_ELEMENT_NAME) {
        name.clear();
        return RC_BAD_NAME;
    }
    int32_t id = 0;
    if (flags.AppendIdToKey) {
        id = ReadIdAttribute(node);
        if (id < 0)
            id = 0;
    }
    const std::wstring text = NodeText(node);
    if (text.empty() || text.size() > MAX_CHILD_TEXT)
        return id;
    const auto listed = schema.find(name);
    const int32_t typeCode = listed == schema.end() ? CFG_DEFAULT_TYPE_CODE : listed->second;
    const stConfigValueType *valueType = FindValueType(typeCode);
    if (!valueType)
        return id;
    value.type = valueType->basicType;
    if (text.size() >= static_cast<size_t>(valueType->minLength) && text.size() <= static_cast<size_t>(valueType->maxLength))
        ConvertText(text, typeCode, valueType->basicType, true, value);
    return id;
}

int32_t CConfigXmlDocument::ReadElement(const ConfigPath &path, ConfigValueMap &values, const ConfigKeySchema *schema)
{
    if (!m_document)
        return RC_NO_DOCUMENT;
    xmlNode *root = xmlDocGetRootElement(m_document);
    if (!root)
        return RC_NO_ROOT;
    return WalkAndReadElement(root, path, values, schema);
}

int32_t CConfigXmlDocument::ReadElementBelow(ConfigElement from, const ConfigPath &path, ConfigValueMap &values,
                                             const ConfigKeySchema *schema)
{
    if (!m_document)
        return RC_NO_DOCUMENT;
    if (!from || from->doc != m_document || !IsElement(from))
        return RC_BAD_ARGUMENT;
    // The document lends its elements as const; the walk itself changes nothing.
    return WalkAndReadElement(const_cast<xmlNode *>(from), path, values, schema);
}

int32_t CConfigXmlDocument::WalkAndReadElement(xmlNode *start, const ConfigPath &path, ConfigValueMap &values,
                                               const ConfigKeySchema *schema)
{
    xmlNode *root = xmlDocGetRootElement(m_document);
    xmlNode *current = start;
    for (const auto &[number, step] : path) {
        (void)number;
        const std::vector<xmlNode *> matches = SelectElements(root, current, step.name);
        if (step.index > 0) {
            if (matches.empty())
                return RC_EMPTY_LIST;
            xmlNode *wanted = nullptr;
            for (xmlNode *match : matches) {
                if (ReadIdAttribute(match) == step.index) {
                    wanted = match;
                    break;
                }
            }
            if (!wanted)
                return RC_NO_SUCH_ID;
            current = wanted;
        } else {
            if (matches.empty())
                return RC_NO_MATCH;
            current = matches.front();
        }
    }
    if (!HasChildContent(current))
        return RC_NO_CHILDREN;

    static const ConfigKeySchema noSchema;
    const ConfigKeySchema &keys = schema ? *schema : noSchema;
    stReadElementFlags flags;
    flags.AppendIdToKey = 1;
    for (const xmlNode *child = current->children; child; child = child->next) {
        if (!IsElement(child))
            continue;
        std::wstring name;
        stConfigValue value;
        const int32_t id = ReadChildValue(child, name, flags, value, keys);
        if (id < 0 || value.type == CFG_VALUE_NONE)
            continue;
        if (id > 0)
            name += L"[" + std::to_wstring(id) + L"]";
        values.emplace(std::move(name), std::move(value));
    }
    return 0;
}

int32_t CConfigXmlDocument::SelectListElement(const wchar_t *xpath, _xmlNode *&list) const
{
    if (!m_document)
        return RC_NO_DOCUMENT;
    if (!xpath)
        return RC_BAD_ARGUMENT;
    return SelectFirstElement(m_document, xpath, list);
}

int32_t CConfigXmlDocument::ReadElementList(const wchar_t *xpath, std::vector<ConfigValueMap> &items,
                                            const ConfigKeySchema *schema, const stReadElementFlags &flags,
                                            std::vector<ConfigElement> *elements)
{
    xmlNode *list = nullptr;
    if (const int32_t rc = SelectListElement(xpath, list); rc != 0)
        return rc;
    if (!HasChildContent(list))
        return RC_EMPTY_LIST;

    static const ConfigKeySchema noSchema;
    const ConfigKeySchema &keys = schema ? *schema : noSchema;
    for (const xmlNode *item = list->children; item; item = item->next) {
        if (!IsElement(item))
            continue;
        const std::wstring itemName = NodeName(item);
        if (itemName.empty() || itemName.size() > MAX_ELEMENT_NAME)
            continue;
        ConfigValueMap values;
        if (flags.KeepNodeName) {
            stConfigValue nodeName;
            nodeName.type = CFG_VALUE_NODENAME;
            nodeName.text = itemName;
            values.emplace(L"nodeName", std::move(nodeName));
        }
        if (flags.ReadId) {
            const int32_t id = ReadIdAttribute(item);
            if (id < 0)
                continue;
            stConfigValue idValue;
            idValue.type = CFG_VALUE_INT32;
            idValue.integer = id;
            values.emplace(L"id", std::move(idValue));
        }
        for (const xmlNode *child = item->children; child; child = child->next) {
            if (!IsElement(child))
                continue;
            std::wstring name;
            stConfigValue value;
            const int32_t id = ReadChildValue(child, name, flags, value, keys);
            if (id < 0)
                continue;
            if (flags.AppendIdToKey && id > 0)
                name += L"[" + std::to_wstring(id) + L"]";
            if (value.type != CFG_VALUE_NONE || flags.KeepUntyped)
                values.emplace(std::move(name), std::move(value));
        }
        if (flags.SkipEmptyItems && !HasChildContent(item))
            continue;
        items.push_back(std::move(values));
        if (elements)
            elements->push_back(item);
    }
    return static_cast<int32_t>(items.size());
}

int32_t CConfigXmlDocument::ListItemsWithoutId(const wchar_t *xpath, std::vector<std::wstring> &names)
{
    xmlNode *list = nullptr;
    if (const int32_t rc = SelectListElement(xpath, list); rc != 0)
        return rc;
    int32_t found = 0;
    for (const xmlNode *item = list->children; item; item = item->next) {
        if (!IsElement(item) || ReadIdAttribute(item) >= 0)
            continue;
        bool holdsElements = false;
        for (const xmlNode *child = item->children; child && !holdsElements; child = child->next)
            holdsElements = IsElement(child);
        if (holdsElements) {
            names.push_back(NodeName(item));
            ++found;
        }
    }
    return found;
}

int32_t CConfigXmlDocument::WriteMoxCtrlPort(const std::wstring &port)
{
    if (!m_document)
        return RC_NO_DOCUMENT;
    xmlNode *general = nullptr;
    if (SelectFirstElement(m_document, L"/config/MOXGeneral", general) != 0)
        return 0;
    const std::string text = WStringToString(port);
    if (xmlNode *existing = FindDescendant(general, "CtrlPort")) {
        xmlChar *escaped = xmlEncodeSpecialChars(m_document, BAD_CAST text.c_str());
        xmlNodeSetContent(existing, escaped);
        xmlFree(escaped);
    } else {
        xmlNewTextChild(general, nullptr, BAD_CAST "CtrlPort", BAD_CAST text.c_str());
    }
    return 1;
}
