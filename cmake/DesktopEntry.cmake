# Run at install time: writes the desktop entry TEMPLATE to OUT with its program "corvane"
# replaced by PROGRAM, an absolute path. A path with characters the Exec key reserves is quoted
# as the desktop entry rules ask (" ` $ \ escaped inside the quotes, that escape's backslash
# doubled again as the key's value is a string), and % is doubled, so that a prefix such as
# "/home/John Doe/.local" still starts the program.
function(corvane_write_desktop_entry template out program)
    set(exec "${program}")
    if(exec MATCHES "[] \t\n\"'\\\\><~|&;$*?#()`%[]")
        string(REPLACE "\\" "\\\\\\\\" exec "${exec}")
        string(REGEX REPLACE "([\"`$])" "\\\\\\\\\\1" exec "${exec}")
        string(REPLACE "%" "%%" exec "${exec}")
        set(exec "\"${exec}\"")
    endif()
    file(READ "${template}" entry)
    string(REPLACE "\nExec=corvane" "\nExec=${exec}" entry "${entry}")
    file(WRITE "${out}" "${entry}")
endfunction()
