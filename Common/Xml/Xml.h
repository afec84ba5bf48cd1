#pragma once
// A thin DOM layer over MSXML: documents, elements, XPath lookups, values.
// COM must be initialised on the calling thread.
#include "Com/com_ptr.h"
#include "XmlCnv.h"

#include <msxml2.h>
#include <string>

namespace Xml {

// MSXML classes by selector: 0 (and unknown) version-independent, 1 (the
// default) 3.0, 2 not supported, 3 6.0.
Com::ComPtr<IXMLDOMDocument2> CreateDocument(int selector);

// The "xml" declaration data by encoding selector: 0 windows-1251, 1 utf-8,
// 2 utf-16; other selectors raise E_NOTIMPL.
const wchar_t* GetProcessInstruction(int encoding);

// The first text child of a node; empty when there is none.
Com::ComPtr<IXMLDOMNode> GetTextNode(IXMLDOMNode* node);

class CElement;

struct INodeEnum {
    virtual ~INodeEnum() = default;
    virtual bool Next(CElement& element) = 0;
};

template <class List>
class CNodeEnum;

template <>
class CNodeEnum<struct IXMLDOMNodeList> : public INodeEnum {
public:
    explicit CNodeEnum(Com::ComPtr<IXMLDOMNodeList> list) : m_list(std::move(list)) {}
    bool Next(CElement& element) override;
    virtual bool AcceptNode(IXMLDOMNode*) { return true; }

private:
    Com::ComPtr<IXMLDOMNodeList> m_list;
    bool m_lengthRead = false;
    long m_length = 0;
    long m_index = 0;
};

class CElement {
public:
    CElement() = default;
    explicit CElement(Com::ComPtr<IXMLDOMNode> node) : m_node(std::move(node)) {}

    CElement Append(const std::wstring& name, const std::wstring& namespaceUri = std::wstring()) const;
    // Raises 3 after the trace "Element %s not found." when nothing matches.
    CElement Lookup(const std::wstring& xpath, const std::wstring& namespaces = std::wstring()) const;
    CNodeEnum<IXMLDOMNodeList> SelectNodes(const std::wstring& xpath,
                                           const std::wstring& namespaces = std::wstring()) const;

    std::wstring _GetValue() const;
    void _AppendTextNode(const VARIANT& value) const;
    // Raises 3 after the trace "Attribute %s not found" when absent.
    std::wstring _GetAttribute(const std::wstring& name) const;

    template <class T>
    T GetValue() const { return Cnv::CFromBSTR<T>(_GetValue()); }
    template <class T>
    T GetAttribute(const std::wstring& name) const { return Cnv::CFromBSTR<T>(_GetAttribute(name)); }
    void SetValue(const std::wstring& value) const { _AppendTextNode(Cnv::CToVariant<std::wstring>(value)); }
    void SetValue(bool value) const { _AppendTextNode(Cnv::CToVariant<bool>(value)); }
    void SetValue(const wchar_t* value) const { SetValue(std::wstring(value)); }

    IXMLDOMNode* node() const { return m_node.get(); }
    explicit operator bool() const { return static_cast<bool>(m_node); }

private:
    Com::ComPtr<IXMLDOMDocument2> OwnerDocument() const;
    Com::ComPtr<IXMLDOMNode> m_node;
};

class CDocument {
public:
    CDocument() = default;
    explicit CDocument(int selector) : m_selector(selector) {}

    // A document with the utf-8 declaration and no root.
    void Create();
    // The same with a root element.
    CElement Create(const std::wstring& rootName, const std::wstring& namespaceUri = std::wstring());
    CElement GetRoot() const;
    void ChangeProcessInstruction(int encoding);
    void Save(IStream* stream) const;
    // The serialised bytes, in the encoding the declaration names.
    void Save(std::string& bytes, int encoding);

    IXMLDOMDocument2* get() const { return m_doc.get(); }

private:
    int m_selector = 1;
    Com::ComPtr<IXMLDOMDocument2> m_doc;
};

} // namespace Xml
