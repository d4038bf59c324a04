# fish completion for segsplice: SRCFILE, a mode option, then the file names
# that the mode takes.

# Files under the token being completed that match the regular expression,
# and directories to go on into. True when a file matched.
function __segsplice_files -a token pattern
    set -l found 1
    for name in $token*
        if test -d $name
            echo $name/
        else if string match -qr -- $pattern $name
            echo $name
            set found 0
        end
    end
    return $found
end

function __segsplice_complete
    set -l words (commandline -opc)
    set -l token (commandline -ct)
    set -l mode_at 0
    # The first mode option wins; whatever follows its names is ignored.
    for i in (seq 3 (count $words))
        if contains -- $words[$i] -r -w -wvireo -i -s -g
            set mode_at $i
            break
        end
    end
    set -l nth (math (count $words) + 1 - $mode_at)
    if test (count $words) -eq 1
        if string match -q -- '-*' $token
            printf '%s\t%s\n' --help 'every option and the exit statuses' -h 'every option and the exit statuses' \
                --version 'the version'
        else
            __segsplice_files "$token" '\.(jpe?g|JPE?G)$'
        end
    else if test $mode_at -eq 0
        printf '%s\t%s\n' -r 'cut the APP1 segment out into SRCFILE.app1' \
            -w 'replace the APP1 segment with APP1_FILE, into OUTPUT_FILE' \
            -wvireo 'as -w, the output starting FF D8 FF E1' \
            -i 'put the Exif segment of APP1_FILE in, into OUTPUT_FILE' \
            -s 'strip the metadata, into OUTPUT_FILE' \
            -g 'take the location out, into OUTPUT_FILE' \
            -d 'trace the scan and every Exif entry' \
            -j 'print where every byte belongs, as JSON' \
            -k "keep the replaced target's times"
    else
        switch $words[$mode_at]:$nth
            case -s:1 -g:1 -w:2 -wvireo:2 -i:2
                __segsplice_files "$token" ''
            case -i:1
                # APP1_FILE: a side file or a JPEG donor; any file when there is none.
                __segsplice_files "$token" '\.(app1|jpe?g|JPE?G)$'; or __segsplice_files "$token" ''
            case -w:1 -wvireo:1
                # APP1_FILE: side files first, any file when there is none.
                __segsplice_files "$token" '\.app1$'; or __segsplice_files "$token" ''
        end
    end
end

complete -c segsplice -f -a '(__segsplice_complete)'
