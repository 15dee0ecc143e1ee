# Warning flags for every target of the project (not for third-party code).
function(skrib_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
        $<$<BOOL:${SKRIB_WERROR}>:-Werror>
        # GCC 12 reports false maybe-uninitialized warnings inside libstdc++ (std::regex,
        # std::function) when the sanitizers are on.
        $<$<OR:$<BOOL:${SKRIB_SANITIZE}>,$<BOOL:${SKRIB_SANITIZE_THREAD}>>:-Wno-maybe-uninitialized>)
endfunction()
