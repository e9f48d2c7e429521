#include "qorToolsLib/RegularExpressionProgram.h"

#include <new>

#include "qorToolsLib/RegularExpressionAutomaton.h"

RegexProgram::RegexProgram() = default;
RegexProgram::~RegexProgram() = default;

std::unique_ptr<RegexProgram> RegexProgram::Compile(const char* pattern) {
    return Compile(pattern, Options());
}

std::unique_ptr<RegexProgram> RegexProgram::Compile(const char* pattern, const Options& options) {
    RegexError error = RegexError::InternalDisaster;
    return Compile(pattern, options, error);
}

std::unique_ptr<RegexProgram> RegexProgram::Compile(const char* pattern, const Options& options,
                                                    RegexError& error) {
    try {
        std::unique_ptr<RegexProgram> program(new RegexProgram());
        error = RegexError::InternalDisaster;
        if (!CompileRegexBytes(pattern, program->m_bytes, error)) {
            ReportRegexError(error);
            return nullptr;
        }
        program->m_pAutomaton = std::make_unique<RegexAutomaton>();
        if (!program->m_pAutomaton->Build(program->m_bytes, options.foldCase,
                                          options.tableLimit)) {
            error = RegexError::InternalDisaster;
            ReportRegexError(error);
            return nullptr;
        }
        return program;
    } catch (const std::bad_alloc&) {
        error = RegexError::OutOfSpace;
        ReportRegexError(error);
        return nullptr;
    }
}

RegexResult RegexProgram::Execute(std::string_view text, RegexStats* stats) const {
    return m_pAutomaton->Run(text, stats) ? RegexResult::Match : RegexResult::NoMatch;
}

bool RegexProgram::MatchesEverything() const {
    return m_pAutomaton->MatchesEverything();
}

bool RegexProgram::IsPrebuilt() const {
    return m_pAutomaton->IsPrebuilt();
}
