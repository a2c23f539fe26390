// The built-in schema of ServerConfig.xml: per kind of element a validator
// listing the attributes it may carry and the child elements it may contain,
// with their counts and the kind of content each may hold. Every model class
// derives from CNode, whose constructor validates the class's own element,
// so validation runs top-down as the model is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Assert.h"

namespace rapidxml {
template <class Ch> class xml_node;
}

namespace XMLConfig {

typedef std::function<bool(const std::string& text)> UserValidationFunc;

class CDataDescriptor {
public:
    // A fixed underlying type: tables may carry any value, and values outside
    // the list are treated as DATA_STRING.
    enum DataType : int {
        DATA_INTEGER = 0,
        DATA_INTEGER_LIST = 1,
        DATA_BOOLEAN = 2,
        DATA_IP_ADDRESS = 3,
        DATA_IP_OR_HOSTNAME = 4,
        DATA_PORT = 5,
        DATA_STRING = 6,
        DATA_USER = 7
    };

    // Whether text has the type. A callback belongs to DATA_USER only; any
    // other pairing stops the process.
    static bool isValid(const std::string& text, DataType validContent,
                        const UserValidationFunc& callback);
    // The same for a NUL-terminated text, as found in the parsed document.
    static bool isValid(const char* text, DataType validContent, const UserValidationFunc& callback);
};

class CAttributeDescriptor {
public:
    CAttributeDescriptor(const std::string& name, CDataDescriptor::DataType type, bool mandatory,
                         const UserValidationFunc& callback = UserValidationFunc());

    std::string name;
    bool mandatory;
    CDataDescriptor::DataType type;
    UserValidationFunc callback;
};

// Node types a child element may contain, as bits of the content mask:
// bit 0 elements, bit 1 text, bit 2 CDATA, bit 3 comments (always added).
enum ContentBits : unsigned {
    CONTENT_ELEMENT = 1,
    CONTENT_DATA = 2,
    CONTENT_CDATA = 4,
    CONTENT_COMMENT = 8
};

class CNodeDescriptor {
public:
    static const uint32_t UNBOUNDED = 4294967295u;

    CNodeDescriptor(const std::string& name, uint32_t min, uint32_t max, unsigned contentMask,
                    CDataDescriptor::DataType dataType,
                    const UserValidationFunc& callback = UserValidationFunc());

    // Whether a node of this rapidxml type may appear in the element.
    bool allows(int nodeType) const;

    std::string name;
    uint32_t min;
    uint32_t max;
    unsigned content;  // mask over validContentNodes
    CDataDescriptor::DataType dataType;
    UserValidationFunc callback;
};

class CNodeValidator {
public:
    // Either array may be null with a count of 0. Throws CException on a
    // duplicate name.
    CNodeValidator(const CAttributeDescriptor* attributes, unsigned attributeCount,
                   const CNodeDescriptor* nodes, unsigned nodeCount);
    CNodeValidator(const CNodeValidator&) = delete;
    CNodeValidator& operator=(const CNodeValidator&) = delete;

    void addNode(const CNodeDescriptor& descriptor);
    void addNodes(const CNodeDescriptor* descriptors, unsigned count);
    void addAttribute(const CAttributeDescriptor& descriptor);
    void addAttributes(const CAttributeDescriptor* descriptors, unsigned count);

    // Throws CException at the first violation.
    void validate(const rapidxml::xml_node<char>* element) const;

private:
    void validateChildNodes(const rapidxml::xml_node<char>* element) const;
    void validateContentTypes(const rapidxml::xml_node<char>* child,
                              const CNodeDescriptor& descriptor) const;
    void validateAttributes(const rapidxml::xml_node<char>* element) const;

    struct NodeEntry {
        CNodeDescriptor descriptor;
        std::size_t index;  // slot of its count in validateChildNodes
    };
    // Transparent comparison: element names are looked up without copying.
    std::map<std::string, NodeEntry, std::less<>> mNodes;
    std::map<std::string, CAttributeDescriptor, std::less<>> mAttributes;
    // Lookup tables built from the maps (pointers into them): a handful of
    // names is found faster by a scan than by a tree walk.
    std::vector<std::pair<std::string_view, const NodeEntry*>> mNodeIndex;
    std::vector<std::pair<std::string_view, const CAttributeDescriptor*>> mAttributeIndex;
    // The mandatory attributes, in name order.
    std::vector<const CAttributeDescriptor*> mMandatory;
};

class CNode {
public:
    // Validates element against validator unless element is null.
    CNode(const rapidxml::xml_node<char>* element, const CNodeValidator& validator);
    virtual ~CNode();
};

// The two callbacks of the schema.
bool checkLimitExtension(const std::string& value);
bool deprecatedNameWarning(const std::string& value);

// Cross-checks over a whole model, run in this order after construction;
// each throws CException at its first violation.
class Config;
void checkPools(const Config* config);
void checkUniquePorts(const Config* config);
void checkReqRouterAssignments(const Config* config);

}  // namespace XMLConfig
