#pragma once
// The named installation folders ("product locations") of the sensor and
// of its management daemon, read from the platform registry when the host
// hands the sensor its base directory.  Every location ends with a folder
// separator, may be overridden by an environment variable of its name, and
// is exported to the environment so that child processes and path
// expansion see the same folders.  A location that does not exist is
// dropped, so the sensor directory may be missing.

#include <cstddef>
#include <string>
#include <vector>

class ProductLocation {
public:
    // The host's directory text is accepted but not consulted.
    explicit ProductLocation(const char* pszDirectory);
    ProductLocation(const ProductLocation&) = delete;
    ProductLocation& operator=(const ProductLocation&) = delete;
    ~ProductLocation();

    // The value of the first location named exactly `pszName`, or null.
    const char* Lookup(const char* pszName) const;

    // The "HostWardenRoot" location, or null when it did not survive.
    const char* GetSensorDirectory() const;

    size_t GetCount() const { return m_names.size(); }
    const std::string& GetName(size_t nIndex) const { return m_names[nIndex]; }
    const std::string& GetValue(size_t nIndex) const { return m_values[nIndex]; }

    // Copies `pszSource` into `pszOutput`, replacing each reference %NAME%
    // by the value of the environment variable NAME; a reference to an unset
    // variable and a lone "%" stay as written.  The copy is cut to
    // `nSize` - 1 characters and terminated.  Answers the length of the whole
    // expansion plus one, so a caller can tell that it was cut.
    static size_t ExpandPath(const char* pszSource, char* pszOutput, size_t nSize);

private:
    void ReadRegistryTable();
    std::string DaemonDefault() const;
    void ApplyEnvironment();
    void Add(const std::string& name, std::string value);

    std::vector<std::string> m_names;
    std::vector<std::string> m_values;
    const char* m_pszSensorDirectory = nullptr;
};
