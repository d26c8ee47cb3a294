#pragma once
// The requirement the helper stores for its clients, as the tests of this folder judge code against it.

#include <string>

namespace codesign_test {

inline constexpr const char* kClientIdentifier = "com.trellwick.quorvix-qv-00000001";

inline std::string admission_requirement(const std::string& team_id = "QVTEAM0001") {
    return std::string("identifier \"") + kClientIdentifier + "\"" + std::string(16, ' ') +
           " and anchor apple generic"
           " and certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */"
           " and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */"
           " and certificate leaf[subject.OU] = " +
           team_id;
}

}  // namespace codesign_test
