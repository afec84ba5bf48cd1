#include "xml_common.h"

#include "file_helpers.h"
#include "handle_stream.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <shlwapi.h>
#include <cwchar>
#include <vector>

void ThrowXmlParsingError(Xml::CDocument& document) {
    const wchar_t* const fn = L"ThrowXmlParsingError";
    Com::ComPtr<IXMLDOMParseError> error;
    VR_CHECK_HR(document.get()->get_parseError(error.put()), fn);
    if (!error) return;
    long code = 0, line = 0, position = 0;
    VR_CHECK_HR(error->get_errorCode(&code), fn);
    if (code == 0) return;
    error->get_line(&line);
    error->get_linepos(&position);
    Com::CBstr source, reason;
    error->get_srcText(source.put());
    error->get_reason(reason.put());
    wchar_t codeText[16], lineText[16], positionText[16];
    swprintf(codeText, 16, L"0x%08X", static_cast<unsigned>(code));
    swprintf(lineText, 16, L"%ld", line);
    swprintf(positionText, 16, L"%ld", position);
    throw VrBase::CVrError(0xE6240001, VR_SOURCE_FILE, __LINE__, fn,
                           std::vector<std::wstring>{codeText, lineText, positionText, reason.str()});
}

size_t find_document_type(const std::wstring& text) {
    size_t i = 0;
    const size_t n = text.size();
    // Only the prolog can hold one: declaration, comments, instructions and
    // white space come before it, the root element after it. Byte-order
    // marks are passed over wherever they stand: a parser may skip more than
    // the first.
    while (i < n) {
        if (text[i] == L' ' || text[i] == L'\t' || text[i] == L'\r' || text[i] == L'\n' || text[i] == 0xFEFF ||
            text[i] == 0xFFFE) {
            ++i;
        } else if (text.compare(i, 4, L"<!--") == 0) {
            const size_t end = text.find(L"-->", i + 4);
            if (end == std::wstring::npos) return std::wstring::npos;
            i = end + 3;
        } else if (text.compare(i, 2, L"<?") == 0) {
            const size_t end = text.find(L"?>", i + 2);
            if (end == std::wstring::npos) return std::wstring::npos;
            i = end + 2;
        } else if (text.compare(i, 2, L"<!") == 0) {
            // "<!DOCTYPE" in any case, and anything else a parser might take
            // for a declaration.
            return i;
        } else {
            return std::wstring::npos;
        }
    }
    return std::wstring::npos;
}

namespace {

// Refused before the parser sees it: a document type declaration can name
// files or network paths to read, and entities that grow without bound.
void refuse_document_type(const std::wstring& text) {
    const size_t at = find_document_type(text);
    if (at == std::wstring::npos) return;
    long line = 1, position = 1;
    for (size_t i = 0; i < at; ++i, ++position)
        if (text[i] == L'\n') {
            ++line;
            position = 0;
        }
    wchar_t lineText[16], positionText[16];
    swprintf(lineText, 16, L"%ld", line);
    swprintf(positionText, 16, L"%ld", position);
    VR_TRACE(VrBase::TL_ERROR, L"LoadXml4mWstring", L"document type declaration refused at line %ls", lineText);
    throw VrBase::CVrError(0xE6240001, VR_SOURCE_FILE, __LINE__, L"LoadXml4mWstring",
                           std::vector<std::wstring>{L"0x80004005", lineText, positionText,
                                                     L"A document type declaration (DOCTYPE) is not accepted."});
}

// Set on every load, although Wine's parser takes and ignores them.
void prohibit_dtd(Xml::CDocument& document) {
    const wchar_t* const fn = L"LoadXml4mWstring";
    Com::CVariant yes;
    yes.ref().vt = VT_BOOL;
    yes.ref().boolVal = VARIANT_TRUE;
    VR_CHECK_HR(document.get()->setProperty(Com::CBstr(L"ProhibitDTD").get(), yes.get()), fn);
    VR_CHECK_HR(document.get()->put_resolveExternals(VARIANT_FALSE), fn);
    VR_CHECK_HR(document.get()->put_validateOnParse(VARIANT_FALSE), fn);
}

} // namespace

HRESULT LoadXml4mWstring(Xml::CDocument& document, const std::wstring& text) {
    return VrBase::GuardHResult(L"LoadXml4mWstring", [&] {
        document.Create();
        refuse_document_type(text);
        prohibit_dtd(document);
        VARIANT_BOOL ok = VARIANT_FALSE;
        HRESULT hr = document.get()->loadXML(Com::CBstr(text).get(), &ok);
        if (hr != S_OK || ok != VARIANT_TRUE) {
            VR_TRACE(VrBase::TL_INFO, L"LoadXml4mWstring", L"xml with bugs: %ls", text.c_str());
            ThrowXmlParsingError(document);
            VR_CHECK_HR(FAILED(hr) ? hr : E_FAIL, L"LoadXml4mWstring");  // failed without a parse error
        }
    });
}

HRESULT lookup_node(const Xml::CElement& element, const std::wstring& xpath, Xml::CElement& found) {
    return VrBase::GuardHResult(L"lookup_node", [&] { found = element.Lookup(xpath); });
}

HRESULT lookup_node(const Xml::CDocument& document, const std::wstring& xpath, Xml::CElement& found) {
    return VrBase::GuardHResult(L"lookup_node", [&] { found = document.GetRoot().Lookup(xpath); });
}

HRESULT lookup_node_and_get_value(const Xml::CElement& element, const std::wstring& xpath, std::wstring& value) {
    return VrBase::GuardHResult(L"lookup_node_and_get_value",
                                [&] { value = element.Lookup(xpath).GetValue<std::wstring>(); });
}

HRESULT append_node_no_value(const Xml::CElement& element, const std::wstring& name, Xml::CElement& appended) {
    return VrBase::GuardHResult(L"append_node_no_value", [&] { appended = element.Append(name); });
}

HRESULT append_node_with_value(const Xml::CElement& element, const std::wstring& name, const std::wstring& value) {
    return VrBase::GuardHResult(L"append_node_with_value", [&] { element.Append(name).SetValue(value); });
}

HRESULT save_xml_to_wstring(Xml::CDocument& document, std::wstring& text) {
    return VrBase::GuardHResult(L"save_xml_to_wstring", [&] {
        std::string bytes;
        document.Save(bytes, 2);
        std::vector<wchar_t> chars(bytes.size() / sizeof(wchar_t) + 1, L'\0');
        memcpy(chars.data(), bytes.data(), (bytes.size() / sizeof(wchar_t)) * sizeof(wchar_t));
        std::wstring result(chars.data());
        if (!result.empty() && (result[0] == 0xFEFF || result[0] == 0xFFFE)) result.erase(0, 1);
        text = std::move(result);
    });
}

namespace {

bool is_high_surrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool xml_char(wchar_t c) {
    if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
    return c != 0xFFFE && c != 0xFFFF;
}

// The value as the writer may take it; a changed value is traced once.
std::wstring safe_value(const wchar_t* value) {
    size_t replaced = 0;
    std::wstring safe = xml_safe_text(value, replaced);
    if (replaced)
        VR_TRACE(VrBase::TL_WARNING, L"CXmlLiteWriter", L"%u character(s) XML cannot carry replaced in <%ls>",
                 static_cast<unsigned>(replaced), safe.c_str());
    return safe;
}

} // namespace

std::wstring xml_safe_text(const wchar_t* value, size_t& replaced) {
    replaced = 0;
    std::wstring out = value ? value : L"";
    for (size_t i = 0; i < out.size(); ++i) {
        const wchar_t c = out[i];
        if (is_high_surrogate(c) && i + 1 < out.size() && is_low_surrogate(out[i + 1])) {
            ++i;  // a whole pair: a character beyond the basic plane
            continue;
        }
        if (xml_char(c) && !is_high_surrogate(c) && !is_low_surrogate(c)) continue;
        out[i] = 0xFFFD;
        ++replaced;
    }
    return out;
}

CXmlLiteWriter::CXmlLiteWriter(const std::wstring& path) {
    const wchar_t* const fn = L"CXmlLiteWriter::CXmlLiteWriter";
    // Never into a file that exists: what someone left or linked under the
    // name is removed first, and the stream writes only the handle made here.
    m_file = create_new_file(path, GENERIC_WRITE, FILE_SHARE_READ);
    m_stream = Com::ComPtr<ISequentialStream>(new CHandleStream(m_file.get()));
    // The mark is ours: writers differ on whether they put one by default.
    static const BYTE kUtf8Bom[] = {0xEF, 0xBB, 0xBF};
    ULONG written = 0;
    VR_CHECK_HR(m_stream->Write(kUtf8Bom, sizeof(kUtf8Bom), &written), fn);
    if (written != sizeof(kUtf8Bom)) VR_RAISE(static_cast<DWORD>(STG_E_MEDIUMFULL), fn);
    VR_CHECK_HR(::CreateXmlWriter(IID_IXmlWriter, m_writer.put_void(), nullptr), fn);
    VR_CHECK_HR(m_writer->SetProperty(XmlWriterProperty_ByteOrderMark, FALSE), fn);
    VR_CHECK_HR(m_writer->SetOutput(m_stream.get()), fn);
    VR_CHECK_HR(m_writer->SetProperty(XmlWriterProperty_Indent, TRUE), fn);
    VR_CHECK_HR(m_writer->WriteStartDocument(XmlStandalone_Omit), fn);
}

CXmlLiteWriter::~CXmlLiteWriter() {
    if (m_finished || !m_writer) return;
    while (m_open > 0) {
        m_writer->WriteFullEndElement();
        --m_open;
    }
    HRESULT hr = m_writer->WriteEndDocument();
    if (FAILED(hr))
        VR_TRACE(VrBase::TL_ERROR, L"CXmlLiteWriter::~CXmlLiteWriter", L"write end document failed 0x%X",
                 static_cast<unsigned>(hr));
    hr = m_writer->Flush();
    if (FAILED(hr))
        VR_TRACE(VrBase::TL_ERROR, L"CXmlLiteWriter::~CXmlLiteWriter", L"flush document failed 0x%X",
                 static_cast<unsigned>(hr));
}

void CXmlLiteWriter::start_node(const wchar_t* name) {
    VR_CHECK_HR(m_writer->WriteStartElement(nullptr, name, nullptr), L"CXmlLiteWriter::start_node");
    ++m_open;
}

void CXmlLiteWriter::start_node(const wchar_t* name, const wchar_t* value) {
    start_node(name);
    write_text(safe_value(value));
}

// A carriage return written as it is reads back as a line feed: it goes
// out as a character reference.
void CXmlLiteWriter::write_text(const std::wstring& text) {
    const wchar_t* const fn = L"CXmlLiteWriter::write_text";
    size_t from = 0;
    for (size_t cr = text.find(L'\r'); cr != std::wstring::npos; cr = text.find(L'\r', from)) {
        if (cr > from) VR_CHECK_HR(m_writer->WriteChars(text.data() + from, static_cast<UINT>(cr - from)), fn);
        VR_CHECK_HR(m_writer->WriteCharEntity(L'\r'), fn);
        from = cr + 1;
    }
    if (from < text.size()) VR_CHECK_HR(m_writer->WriteChars(text.data() + from, static_cast<UINT>(text.size() - from)), fn);
}

void CXmlLiteWriter::add_attribute(const wchar_t* prefix, const wchar_t* name, const wchar_t* namespaceUri,
                                   const wchar_t* value) {
    VR_CHECK_HR(m_writer->WriteAttributeString(prefix, name, namespaceUri, safe_value(value).c_str()),
                L"CXmlLiteWriter::add_attribute");
}

void CXmlLiteWriter::write_string(const wchar_t* value) { write_text(safe_value(value)); }

void CXmlLiteWriter::close_single_node() {
    if (m_open == 0) return;
    VR_CHECK_HR(m_writer->WriteFullEndElement(), L"CXmlLiteWriter::close_single_node");
    --m_open;
}

void CXmlLiteWriter::flush() { VR_CHECK_HR(m_writer->Flush(), L"CXmlLiteWriter::flush"); }

void CXmlLiteWriter::finish() {
    const wchar_t* const fn = L"CXmlLiteWriter::finish";
    while (m_open > 0) close_single_node();
    VR_CHECK_HR(m_writer->WriteEndDocument(), fn);
    VR_CHECK_HR(m_writer->Flush(), fn);
    m_finished = true;
}

CXmlLiteReader::CXmlLiteReader(const std::wstring& path) {
    const wchar_t* const fn = L"CXmlLiteReader::CXmlLiteReader";
    Com::ComPtr<IStream> stream;
    VR_CHECK_HR(::SHCreateStreamOnFileW(path.c_str(), STGM_READ, stream.put()), fn);
    VR_CHECK_HR(stream.As(IID_ISequentialStream, m_stream), fn);
    start(fn);
}

CXmlLiteReader::CXmlLiteReader(HANDLE file) {
    m_stream = Com::ComPtr<ISequentialStream>(new CHandleStream(file));
    start(L"CXmlLiteReader::CXmlLiteReader");
}

void CXmlLiteReader::start(const wchar_t* fn) {
    VR_CHECK_HR(::CreateXmlReader(IID_IXmlReader, m_reader.put_void(), nullptr), fn);
    VR_CHECK_HR(m_reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit), fn);
    VR_CHECK_HR(m_reader->SetInput(m_stream.get()), fn);
}

std::wstring CXmlLiteReader::get_unique_node_value(const wchar_t* name) {
    const wchar_t* const fn = L"CXmlLiteReader::get_unique_node_value";
    bool matched = false;
    XmlNodeType type = XmlNodeType_None;
    while (m_reader->Read(&type) == S_OK) {
        if (type == XmlNodeType_Element) {
            const wchar_t* local = nullptr;
            VR_CHECK_HR(m_reader->GetLocalName(&local, nullptr), fn);
            matched = local && _wcsicmp(local, name) == 0;
        } else if (type == XmlNodeType_Text && matched) {
            const wchar_t* value = nullptr;
            VR_CHECK_HR(m_reader->GetValue(&value, nullptr), fn);
            return value ? value : L"";
        }
    }
    VR_RAISE(ERROR_PATH_NOT_FOUND, fn);
}
