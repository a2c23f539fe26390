#include "config/XMLConfigValidator.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "config/XMLParser.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace XMLConfig {

namespace {

typedef rapidxml::xml_node<char> Node;
typedef rapidxml::xml_attribute<char> Attribute;

// The node types a content mask speaks about, bit i for entry i.
const rapidxml::node_type validContentNodes[] = {rapidxml::node_element, rapidxml::node_data,
                                                 rapidxml::node_cdata, rapidxml::node_comment};

std::string_view nameOf(const rapidxml::xml_base<char>* base)
{
    return std::string_view(base->name(), base->name_size());
}

template <class T>
const T* findIn(const std::vector<std::pair<std::string_view, const T*>>& index,
                std::string_view name)
{
    // Length and first byte settle almost every mismatch without a memcmp.
    for (const auto& entry : index)
        if (entry.first.size() == name.size() &&
            (name.empty() || entry.first[0] == name[0]) && entry.first == name)
            return entry.second;
    return nullptr;
}

[[noreturn]] void throwDataValidationException(const char* context,
                                               CDataDescriptor::DataType type,
                                               const std::string& value, const std::string& place)
{
    const char* ending;
    switch (type) {
    case CDataDescriptor::DATA_INTEGER:        ending = "' is not a valid integer value"; break;
    case CDataDescriptor::DATA_INTEGER_LIST:   ending = "' is not a valid integer list"; break;
    case CDataDescriptor::DATA_BOOLEAN:        ending = "' is not a valid boolean value"; break;
    case CDataDescriptor::DATA_IP_ADDRESS:     ending = "' is not a valid IP address"; break;
    case CDataDescriptor::DATA_IP_OR_HOSTNAME: ending = "' is not a valid IP address or hostname"; break;
    case CDataDescriptor::DATA_PORT:           ending = "' is not a valid port value"; break;
    default:                                   ending = "' is not valid"; break;
    }
    throw CException(std::string(context) + ": validation failed. Value '" + value + "' in '" +
                     place + ending);
}

}  // namespace

// ---- Data types ------------------------------------------------------------

bool CDataDescriptor::isValid(const std::string& text, DataType validContent,
                              const UserValidationFunc& callback)
{
    return isValid(text.c_str(), validContent, callback);
}

bool CDataDescriptor::isValid(const char* text, DataType validContent,
                              const UserValidationFunc& callback)
{
    TARVEL_ASSERT(!callback || (callback && validContent == DATA_USER));
    TARVEL_ASSERT(validContent != DATA_USER || callback);
    try {
        switch (validContent) {
        case DATA_INTEGER:
            Parser::parseNumber<int>(text, INT_MIN, INT_MAX);
            return true;
        case DATA_INTEGER_LIST:
            Parser::checkIntList(text, INT_MIN, INT_MAX);
            return true;
        case DATA_BOOLEAN:
            Parser::parseBool(text);
            return true;
        case DATA_IP_ADDRESS:
            Parser::parseIP(text, false, false);
            return true;
        case DATA_IP_OR_HOSTNAME:
            Parser::parseIP(text, true, true);
            return true;
        case DATA_PORT: {
            const int port = Parser::parseNumber<int>(text, INT_MIN, INT_MAX);
            if (port < 0 || port > 65535)
                throw CException("Not a port number");
            return true;
        }
        case DATA_USER:
            return callback(std::string(text));
        case DATA_STRING:
        default:
            return true;
        }
    } catch (const CException&) {
        return false;
    }
}

CAttributeDescriptor::CAttributeDescriptor(const std::string& n, CDataDescriptor::DataType t,
                                           bool m, const UserValidationFunc& cb)
    : name(n), mandatory(m), type(t), callback(cb)
{
}

CNodeDescriptor::CNodeDescriptor(const std::string& n, uint32_t mn, uint32_t mx,
                                 unsigned contentMask, CDataDescriptor::DataType t,
                                 const UserValidationFunc& cb)
    : name(n), min(mn), max(mx), content(contentMask | CONTENT_COMMENT), dataType(t), callback(cb)
{
}

bool CNodeDescriptor::allows(int nodeType) const
{
    for (unsigned bit = 0; bit < sizeof validContentNodes / sizeof validContentNodes[0]; ++bit)
        if (validContentNodes[bit] == nodeType)
            return (content & (1u << bit)) != 0;
    return false;
}

// ---- Validator -------------------------------------------------------------

CNodeValidator::CNodeValidator(const CAttributeDescriptor* attributes, unsigned attributeCount,
                               const CNodeDescriptor* nodes, unsigned nodeCount)
{
    addNodes(nodes, nodeCount);
    addAttributes(attributes, attributeCount);
}

void CNodeValidator::addNode(const CNodeDescriptor& descriptor)
{
    const std::size_t index = mNodes.size();
    if (!mNodes.emplace(descriptor.name, NodeEntry{descriptor, index}).second)
        throw CException("CNodeValidator::addNode(): node type already in validation map");
    mNodeIndex.clear();
    for (const auto& entry : mNodes)
        mNodeIndex.emplace_back(entry.first, &entry.second);
}

void CNodeValidator::addNodes(const CNodeDescriptor* descriptors, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        addNode(descriptors[i]);
}

void CNodeValidator::addAttribute(const CAttributeDescriptor& descriptor)
{
    if (!mAttributes.emplace(descriptor.name, descriptor).second)
        throw CException("CNodeValidator::addAttribute(): attribute type already in validation map");
    mAttributeIndex.clear();
    mMandatory.clear();
    for (const auto& entry : mAttributes) {
        mAttributeIndex.emplace_back(entry.first, &entry.second);
        if (entry.second.mandatory)
            mMandatory.push_back(&entry.second);
    }
}

void CNodeValidator::addAttributes(const CAttributeDescriptor* descriptors, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        addAttribute(descriptors[i]);
}

void CNodeValidator::validate(const Node* element) const
{
    if (element == nullptr)
        throw CException("CNodeValidator::validate(): validation of NULL node failed.");
    validateChildNodes(element);
    validateAttributes(element);
}

void CNodeValidator::validateChildNodes(const Node* element) const
{
    // One count per declared child name; the schema's elements declare at
    // most three, so the counts normally live on the stack.
    uint32_t stackCounts[8] = {};
    std::vector<uint32_t> heapCounts;
    uint32_t* counts = stackCounts;
    if (mNodes.size() > sizeof stackCounts / sizeof stackCounts[0]) {
        heapCounts.assign(mNodes.size(), 0);
        counts = heapCounts.data();
    }

    for (const Node* child = element->first_node(); child != nullptr; child = child->next_sibling()) {
        if (child->type() != rapidxml::node_element)
            continue;
        const NodeEntry* found = findIn(mNodeIndex, nameOf(child));
        if (found == nullptr)
            throw CException(std::string("CNodeValidator::validateChildNodes(): validation failed. "
                                         "Invalid child node '") +
                             child->name() + "' in node '" + element->name() + "'.");
        validateContentTypes(child, found->descriptor);
        ++counts[found->index];
    }

    for (const auto& entry : mNodes) {
        const CNodeDescriptor& descriptor = entry.second.descriptor;
        const uint32_t count = counts[entry.second.index];
        if (count < descriptor.min)
            throw CException(std::string("CNodeValidator::validateChildNodes(): validation failed. "
                                         "Too few child nodes (found ") +
                             std::to_string(count) + ", minimum is " +
                             std::to_string(descriptor.min) + ") of type '" + descriptor.name +
                             "' in node '" + element->name() + "'");
        if (count > descriptor.max)
            throw CException(std::string("CNodeValidator::validateChildNodes(): validation failed. "
                                         "Too many child nodes (found ") +
                             std::to_string(count) + ", maximum is " +
                             std::to_string(descriptor.max) + ") of type '" + descriptor.name +
                             "' in node '" + element->name() + "'");
    }
}

void CNodeValidator::validateContentTypes(const Node* child, const CNodeDescriptor& descriptor) const
{
    for (const Node* node = child->first_node(); node != nullptr; node = node->next_sibling()) {
        if (node->type() == rapidxml::node_comment)
            continue;
        if (!descriptor.allows(node->type()))
            throw CException(std::string("CNodeValidator::validateChildNodes(): validation failed. "
                                         "Child node '") +
                             node->name() + "' in node '" + child->name() +
                             "' has invalid content ('" + node->value() + "')");
        if (node->type() == rapidxml::node_data &&
            !CDataDescriptor::isValid(node->value(), descriptor.dataType, descriptor.callback))
            throwDataValidationException("CNodeValidator::validateAttributes()", descriptor.dataType,
                                         node->value(), child->name());
    }
}

void CNodeValidator::validateAttributes(const Node* element) const
{
    for (const Attribute* attribute = element->first_attribute(); attribute != nullptr;
         attribute = attribute->next_attribute()) {
        const CAttributeDescriptor* found = findIn(mAttributeIndex, nameOf(attribute));
        if (found == nullptr)
            throw CException(std::string("CNodeValidator::validateAttributes(): validation failed. "
                                         "Unknown attribute '") +
                             attribute->name() + "' in node '" + element->name() + "'");
        const CAttributeDescriptor& descriptor = *found;
        if (!CDataDescriptor::isValid(attribute->value(), descriptor.type, descriptor.callback))
            throwDataValidationException("CNodeValidator::validateAttributes()", descriptor.type,
                                         attribute->value(), attribute->name());
    }

    for (const CAttributeDescriptor* mandatory : mMandatory) {
        const CAttributeDescriptor& descriptor = *mandatory;
        if (element->first_attribute(descriptor.name.c_str(), descriptor.name.size()) == nullptr)
            throw CException(std::string("CNodeValidator::validateAttributes(): validation failed. "
                                         "Mandatory attribute '") +
                             descriptor.name + "' not found in node '" + element->name() + "'");
    }
}

// ---- Model base and callbacks ----------------------------------------------

CNode::CNode(const Node* element, const CNodeValidator& validator)
{
    if (element != nullptr)
        validator.validate(element);
}

CNode::~CNode() = default;

bool checkLimitExtension(const std::string& value)
{
    return !value.empty() && value[0] == '.';
}

bool deprecatedNameWarning(const std::string&)
{
    CLogger() << "WARNING: attribute 'name' of element <appserver> in ServerConfig.xml is "
                 "deprecated. Please remove.";
    return true;
}

}  // namespace XMLConfig
