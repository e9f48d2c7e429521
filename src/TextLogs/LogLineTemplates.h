#pragma once
// What the syslog and text-log engines share when a matching line becomes
// an alert: the local host name and the sensor's address the record
// carries, and the information-pair templates that read the line itself.

#include <cstdint>
#include <string>
#include <string_view>

// The local host name, looked up once for the process; "localhost" when
// the system cannot tell it.  Safe from any engine thread.
const std::string& LogHostName();

// The sensor's own address (network byte order), read anew at each call
// because the host may change it at a reload.  Like the classic
// conversion, a text that is no address gives the all-ones address.
uint32_t LogSensorAddress();

// The value of a template that reads the line: "@Field<n>" gives the n-th
// field; any other template is resolved against the line.  False when a
// template of the second kind finds nothing (the value is then empty).
// The whole line is read where it lies, however long (a datagram's whole
// text, a log line's piece): only the value is copied, and a value longer
// than an alert carries is cut when it is added to the record.
bool ResolveLineTemplate(std::string_view strTemplate, std::string_view strLine,
                         std::string& strValue);
