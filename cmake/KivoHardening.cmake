# Hardened binaries as Debian builds them: checked string and memory calls, read-only
# relocations and immediate binding. Not in the sanitizer and fuzzing trees, which have their
# own run-time checks.
if(NOT KIVO_SANITIZE AND NOT KIVO_FUZZ)
    add_compile_options(-fstack-protector-strong
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
    add_link_options(-Wl,-z,relro,-z,now)
endif()
