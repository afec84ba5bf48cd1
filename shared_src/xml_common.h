#pragma once
// DOM steps wrapped into calls that answer an HRESULT, and the streaming
// XML writer and reader over XmlLite.
#include "Xml/Xml.h"
#include "vrbase/scope.h"

#include <objidl.h>
#include <xmllite.h>
#include <string>

// Refuses a document with a document type declaration (parse error 0xE6240001
// naming it) and loads with DTDs prohibited and no external resolution.
HRESULT LoadXml4mWstring(Xml::CDocument& document, const std::wstring& text);
// Where the prolog holds a declaration ("<!DOCTYPE"); npos when it holds none.
size_t find_document_type(const std::wstring& text);
// Raises 0xE6240001 with the parser's code, line, position and reason when
// the document holds a parse error; does nothing otherwise.
void ThrowXmlParsingError(Xml::CDocument& document);

HRESULT lookup_node(const Xml::CElement& element, const std::wstring& xpath, Xml::CElement& found);
HRESULT lookup_node(const Xml::CDocument& document, const std::wstring& xpath, Xml::CElement& found);
HRESULT lookup_node_and_get_value(const Xml::CElement& element, const std::wstring& xpath, std::wstring& value);
HRESULT append_node_no_value(const Xml::CElement& element, const std::wstring& name, Xml::CElement& appended);
HRESULT append_node_with_value(const Xml::CElement& element, const std::wstring& name, const std::wstring& value);
// UTF-16 text of the document, without byte-order mark.
HRESULT save_xml_to_wstring(Xml::CDocument& document, std::wstring& text);

// The value with every code unit that XML 1.0 cannot carry (control
// characters other than tab and line breaks, U+FFFE, U+FFFF, a surrogate
// without its partner) replaced by U+FFFD; the count replaced goes out.
std::wstring xml_safe_text(const wchar_t* value, size_t& replaced);

// Writes an indented UTF-8 document with a byte-order mark, element by
// element; never holds it whole. Every value is written XML-safe, so one odd
// character never stops a document.
class CXmlLiteWriter {
public:
    explicit CXmlLiteWriter(const std::wstring& path);
    // Closes what is still open and ends the document; never raises.
    ~CXmlLiteWriter();
    CXmlLiteWriter(const CXmlLiteWriter&) = delete;
    CXmlLiteWriter& operator=(const CXmlLiteWriter&) = delete;

    void start_node(const wchar_t* name);
    void start_node(const wchar_t* name, const wchar_t* value);
    void start_node(const wchar_t* name, const std::wstring& value) { start_node(name, value.c_str()); }
    void add_attribute(const wchar_t* prefix, const wchar_t* name, const wchar_t* namespaceUri, const wchar_t* value);
    void write_string(const wchar_t* value);
    void close_single_node();
    // Hands what is buffered to the file. Some writers keep everything until
    // the end; long documents flush as they go so memory stays flat.
    void flush();
    // Ends the document and flushes, raising on failure; the destructor
    // then has nothing left to do.
    void finish();

private:
    void write_text(const std::wstring& text);
    VrBase::unique_hfile m_file;  // outlives the stream and the writer
    Com::ComPtr<ISequentialStream> m_stream;
    Com::ComPtr<IXmlWriter> m_writer;
    unsigned m_open = 0;
    bool m_finished = false;
};

class CXmlLiteReader {
public:
    explicit CXmlLiteReader(const std::wstring& path);
    // Reads from the handle's position; the handle stays the caller's.
    explicit CXmlLiteReader(HANDLE file);
    // The text of the first element of that name (any case); raises 3 when
    // the document has none.
    std::wstring get_unique_node_value(const wchar_t* name);

private:
    void start(const wchar_t* fn);
    Com::ComPtr<ISequentialStream> m_stream;
    Com::ComPtr<IXmlReader> m_reader;
};
