#include "Xml.h"

#include "Com/com_assert.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <initguid.h>

namespace Xml {
namespace {

// Not every MSXML identifier is in MinGW's libuuid; defined once here.
DEFINE_GUID(kIID_IXMLDOMDocument2, 0x2933bf95, 0x7b36, 0x11d2, 0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60);
DEFINE_GUID(kCLSID_DOMDocument, 0xf6d90f11, 0x9c73, 0x11d3, 0xb3, 0x2e, 0x00, 0xc0, 0x4f, 0x99, 0x0b, 0xb4);
DEFINE_GUID(kCLSID_DOMDocument30, 0xf5078f32, 0xc551, 0x11d3, 0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21);
DEFINE_GUID(kCLSID_DOMDocument60, 0x88d96a05, 0xf192, 0x11d4, 0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5);

// A call that answers S_FALSE with a null out-pointer found nothing.
template <class T>
void CheckFound(HRESULT hr, const Com::ComPtr<T>& p, const wchar_t* function) {
    VR_CHECK_HR(hr, function);
    if (!p) VR_RAISE(static_cast<DWORD>(E_POINTER), function);
}

bool IsXmlDeclaration(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    if (FAILED(node->get_nodeType(&type)) || type != NODE_PROCESSING_INSTRUCTION) return false;
    Com::CBstr name;
    return SUCCEEDED(node->get_nodeName(name.put())) && name.str() == L"xml";
}

} // namespace

Com::ComPtr<IXMLDOMDocument2> CreateDocument(int selector) {
    const wchar_t* const fn = L"Xml::CreateDocument";
    const CLSID* clsid = &kCLSID_DOMDocument;
    if (selector == 1) clsid = &kCLSID_DOMDocument30;
    else if (selector == 2) VR_RAISE(static_cast<DWORD>(E_NOTIMPL), fn);
    else if (selector == 3) clsid = &kCLSID_DOMDocument60;

    const DWORD context = CLSCTX_ALL;
    Com::ComPtr<IXMLDOMDocument2> doc;
    if (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
        // A server out of process must be running before it is asked for more.
        Com::ComPtr<IUnknown> unknown;
        HRESULT hr = ::CoCreateInstance(*clsid, nullptr, context, IID_IUnknown, unknown.put_void());
        Com::AssertObjectCreated(hr, *clsid);
        VR_CHECK_HR(::OleRun(unknown.get()), fn);
        VR_CHECK_HR(unknown.As(kIID_IXMLDOMDocument2, doc), fn);
    } else {
        HRESULT hr = ::CoCreateInstance(*clsid, nullptr, context, kIID_IXMLDOMDocument2, doc.put_void());
        Com::AssertObjectCreated(hr, *clsid);
    }
    return doc;
}

const wchar_t* GetProcessInstruction(int encoding) {
    switch (encoding) {
    case 0: return L"version=\"1.0\" encoding=\"windows-1251\"";
    case 1: return L"version=\"1.0\" encoding=\"utf-8\"";
    case 2: return L"version=\"1.0\" encoding=\"utf-16\"";
    default: VR_RAISE(static_cast<DWORD>(E_NOTIMPL), L"Xml::GetProcessInstruction");
    }
}

Com::ComPtr<IXMLDOMNode> GetTextNode(IXMLDOMNode* node) {
    const wchar_t* const fn = L"Xml::GetTextNode";
    Com::ComPtr<IXMLDOMNodeList> children;
    CheckFound(node->get_childNodes(children.put()), children, fn);
    long length = 0;
    VR_CHECK_HR(children->get_length(&length), fn);
    for (long i = 0; i < length; ++i) {
        Com::ComPtr<IXMLDOMNode> child;
        CheckFound(children->get_item(i, child.put()), child, fn);
        DOMNodeType type = NODE_INVALID;
        VR_CHECK_HR(child->get_nodeType(&type), fn);
        if (type == NODE_TEXT) return child;
    }
    return Com::ComPtr<IXMLDOMNode>();
}

bool CNodeEnum<IXMLDOMNodeList>::Next(CElement& element) {
    const wchar_t* const fn = L"Xml::CNodeEnum::Next";
    if (!m_lengthRead) {
        VR_CHECK_HR(m_list->get_length(&m_length), fn);
        m_lengthRead = true;
    }
    while (m_index < m_length) {
        Com::ComPtr<IXMLDOMNode> item;
        CheckFound(m_list->get_item(m_index++, item.put()), item, fn);
        if (AcceptNode(item.get())) {
            element = CElement(std::move(item));
            return true;
        }
    }
    return false;
}

Com::ComPtr<IXMLDOMDocument2> CElement::OwnerDocument() const {
    const wchar_t* const fn = L"Xml::CElement::OwnerDocument";
    Com::ComPtr<IXMLDOMDocument> owner;
    CheckFound(m_node->get_ownerDocument(owner.put()), owner, fn);
    Com::ComPtr<IXMLDOMDocument2> doc;
    VR_CHECK_HR(owner.As(kIID_IXMLDOMDocument2, doc), fn);
    return doc;
}

CElement CElement::Append(const std::wstring& name, const std::wstring& namespaceUri) const {
    const wchar_t* const fn = L"Xml::CElement::Append";
    Com::ComPtr<IXMLDOMDocument2> doc = OwnerDocument();
    Com::CVariant type;
    type.ref().vt = VT_I4;
    type.ref().lVal = NODE_ELEMENT;
    Com::ComPtr<IXMLDOMNode> created, appended;
    CheckFound(doc->createNode(type.get(), Com::CBstr(name).get(), Com::CBstr(namespaceUri).get(), created.put()),
               created, fn);
    CheckFound(m_node->appendChild(created.get(), appended.put()), appended, fn);
    return CElement(std::move(appended));
}

namespace {

void SetSelectionProperties(IXMLDOMDocument2* doc, const std::wstring& namespaces, const wchar_t* fn) {
    if (!namespaces.empty()) {
        Com::CVariant ns;
        ns.ref().vt = VT_BSTR;
        ns.ref().bstrVal = ::SysAllocString(namespaces.c_str());
        VR_CHECK_HR(doc->setProperty(Com::CBstr(L"SelectionNamespaces").get(), ns.get()), fn);
    }
    Com::CVariant language;
    language.ref().vt = VT_BSTR;
    language.ref().bstrVal = ::SysAllocString(L"XPath");
    VR_CHECK_HR(doc->setProperty(Com::CBstr(L"SelectionLanguage").get(), language.get()), fn);
}

} // namespace

namespace {

// Error 3 that names what is missing ("Element" or "Attribute") and the
// element it was looked for in ("In"), for whoever explains the failure.
VrBase::CVrError NotFound(const wchar_t* what, const std::wstring& name, IXMLDOMNode* in, int line, const wchar_t* fn) {
    VrBase::CVrError error =
        VrBase::CVrError::WithItem(ERROR_PATH_NOT_FOUND, VR_SOURCE_FILE, line, fn, what, name.c_str());
    Com::CBstr inName;
    if (in && SUCCEEDED(in->get_nodeName(inName.put()))) error.SetField(L"In", inName.str());
    return error;
}

} // namespace

CElement CElement::Lookup(const std::wstring& xpath, const std::wstring& namespaces) const {
    const wchar_t* const fn = L"Xml::CElement::Lookup";
    SetSelectionProperties(OwnerDocument().get(), namespaces, fn);
    Com::ComPtr<IXMLDOMNode> found;
    VR_CHECK_HR(m_node->selectSingleNode(Com::CBstr(xpath).get(), found.put()), fn);
    if (!found) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"Element %s not found.", xpath.c_str());
        throw NotFound(L"Element", xpath, m_node.get(), __LINE__, fn);
    }
    return CElement(std::move(found));
}

CNodeEnum<IXMLDOMNodeList> CElement::SelectNodes(const std::wstring& xpath, const std::wstring& namespaces) const {
    const wchar_t* const fn = L"Xml::CElement::SelectNodes";
    SetSelectionProperties(OwnerDocument().get(), namespaces, fn);
    Com::ComPtr<IXMLDOMNodeList> list;
    CheckFound(m_node->selectNodes(Com::CBstr(xpath).get(), list.put()), list, fn);
    return CNodeEnum<IXMLDOMNodeList>(std::move(list));
}

std::wstring CElement::_GetValue() const {
    Com::ComPtr<IXMLDOMNode> text = GetTextNode(m_node.get());
    if (!text) return std::wstring();
    Com::CVariant value;
    VR_CHECK_HR(text->get_nodeValue(value.put()), L"Xml::CElement::_GetValue");
    if (value.get().vt != VT_BSTR || !value.get().bstrVal) return std::wstring();
    return std::wstring(value.get().bstrVal, ::SysStringLen(value.get().bstrVal));
}

void CElement::_AppendTextNode(const VARIANT& value) const {
    const wchar_t* const fn = L"Xml::CElement::_AppendTextNode";
    Com::ComPtr<IXMLDOMNode> text = GetTextNode(m_node.get());
    if (!text) {
        Com::ComPtr<IXMLDOMDocument2> doc = OwnerDocument();
        Com::CVariant type;
        type.ref().vt = VT_I4;
        type.ref().lVal = NODE_TEXT;
        Com::ComPtr<IXMLDOMNode> created;
        CheckFound(doc->createNode(type.get(), Com::CBstr(L"").get(), Com::CBstr(L"").get(), created.put()), created,
                   fn);
        CheckFound(m_node->appendChild(created.get(), text.put()), text, fn);
    }
    VR_CHECK_HR(text->put_nodeValue(value), fn);
}

std::wstring CElement::_GetAttribute(const std::wstring& name) const {
    const wchar_t* const fn = L"Xml::CElement::_GetAttribute";
    Com::ComPtr<IXMLDOMElement> element;
    VR_CHECK_HR(m_node.As(IID_IXMLDOMElement, element), fn);
    Com::CVariant value;
    VR_CHECK_HR(element->getAttribute(Com::CBstr(name).get(), value.put()), fn);
    if (value.get().vt == VT_NULL || value.get().vt == VT_EMPTY) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"Attribute %s not found", name.c_str());
        throw NotFound(L"Attribute", name, m_node.get(), __LINE__, fn);
    }
    if (value.get().vt != VT_BSTR || !value.get().bstrVal) return std::wstring();
    return std::wstring(value.get().bstrVal, ::SysStringLen(value.get().bstrVal));
}

void CDocument::Create() {
    const wchar_t* const fn = L"Xml::CDocument::Create";
    m_doc = CreateDocument(m_selector);
    VR_CHECK_HR(m_doc->put_async(VARIANT_FALSE), fn);
    Com::ComPtr<IXMLDOMProcessingInstruction> pi;
    CheckFound(m_doc->createProcessingInstruction(Com::CBstr(L"xml").get(), Com::CBstr(GetProcessInstruction(1)).get(),
                                                  pi.put()),
               pi, fn);
    Com::ComPtr<IXMLDOMNode> appended;
    CheckFound(m_doc->appendChild(pi.get(), appended.put()), appended, fn);
}

CElement CDocument::Create(const std::wstring& rootName, const std::wstring& namespaceUri) {
    const wchar_t* const fn = L"Xml::CDocument::Create";
    Create();
    Com::CVariant type;
    type.ref().vt = VT_I4;
    type.ref().lVal = NODE_ELEMENT;
    Com::ComPtr<IXMLDOMNode> root, appended;
    CheckFound(m_doc->createNode(type.get(), Com::CBstr(rootName).get(), Com::CBstr(namespaceUri).get(), root.put()),
               root, fn);
    CheckFound(m_doc->appendChild(root.get(), appended.put()), appended, fn);
    return CElement(std::move(appended));
}

CElement CDocument::GetRoot() const {
    const wchar_t* const fn = L"Xml::CDocument::GetRoot";
    if (!m_doc) VR_RAISE(static_cast<DWORD>(E_POINTER), fn);
    Com::ComPtr<IXMLDOMElement> root;
    CheckFound(m_doc->get_documentElement(root.put()), root, fn);
    Com::ComPtr<IXMLDOMNode> node;
    VR_CHECK_HR(root.As(IID_IXMLDOMNode, node), fn);
    return CElement(std::move(node));
}

void CDocument::ChangeProcessInstruction(int encoding) {
    const wchar_t* const fn = L"Xml::CDocument::ChangeProcessInstruction";
    const wchar_t* data = GetProcessInstruction(encoding);
    Com::ComPtr<IXMLDOMProcessingInstruction> pi;
    CheckFound(m_doc->createProcessingInstruction(Com::CBstr(L"xml").get(), Com::CBstr(data).get(), pi.put()), pi, fn);
    Com::ComPtr<IXMLDOMNode> first;
    VR_CHECK_HR(m_doc->get_firstChild(first.put()), fn);
    Com::ComPtr<IXMLDOMNode> added;
    if (first && IsXmlDeclaration(first.get())) {
        VR_CHECK_HR(m_doc->replaceChild(pi.get(), first.get(), added.put()), fn);
        return;
    }
    // A document loaded without a declaration starts with its root or a
    // comment: the declaration goes in front, nothing is replaced.
    Com::CVariant before;
    if (first) {
        before.ref().vt = VT_UNKNOWN;
        before.ref().punkVal = first.get();
        first->AddRef();  // the VARIANT releases it
    }
    VR_CHECK_HR(m_doc->insertBefore(pi.get(), before.get(), added.put()), fn);
}

void CDocument::Save(IStream* stream) const {
    Com::CVariant destination;
    destination.ref().vt = VT_UNKNOWN;
    destination.ref().punkVal = stream;
    stream->AddRef();  // the VARIANT releases it
    VR_CHECK_HR(m_doc->save(destination.get()), L"Xml::CDocument::Save");
}

void CDocument::Save(std::string& bytes, int encoding) {
    const wchar_t* const fn = L"Xml::CDocument::Save";
    ChangeProcessInstruction(encoding);
    Com::ComPtr<IStream> stream;
    VR_CHECK_HR(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), fn);
    Save(stream.get());
    STATSTG stat{};
    VR_CHECK_HR(stream->Stat(&stat, STATFLAG_NONAME), fn);
    HGLOBAL memory = nullptr;
    VR_CHECK_HR(::GetHGlobalFromStream(stream.get(), &memory), fn);
    const void* data = ::GlobalLock(memory);
    if (!data) VR_RAISE_LAST_ERROR(fn);
    VrBase::scope_exit unlock([&] { ::GlobalUnlock(memory); });
    bytes.assign(static_cast<const char*>(data), static_cast<size_t>(stat.cbSize.QuadPart));
}

} // namespace Xml
