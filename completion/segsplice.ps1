# PowerShell tab completion for segsplice: SRCFILE, a mode option, then the
# file names that the mode takes. Dot-source it from your profile:
#   . "$env:LOCALAPPDATA\segsplice\segsplice.ps1"      (wherever you unzipped it)

Register-ArgumentCompleter -Native -CommandName segsplice, segsplice.exe -ScriptBlock {
    param($wordToComplete, $commandAst, $cursorPosition)

    # Files under the word that match the pattern, and folders to go on into.
    function Complete-Files([string]$word, [string]$pattern) {
        $folder = ''
        $cut = $word.LastIndexOfAny([char[]]'\/')
        if ($cut -ge 0) { $folder = $word.Substring(0, $cut + 1) }
        Get-ChildItem -Path "$word*" -Force -ErrorAction SilentlyContinue |
            Where-Object { $_.PSIsContainer -or $_.Name -match $pattern } |
            ForEach-Object {
                $text = $folder + $_.Name
                if ($text -match '[\s''`$&(){};,]') { $text = "'" + ($text -replace "'", "''") + "'" }
                [System.Management.Automation.CompletionResult]::new($text, $_.Name, 'ProviderItem', $_.Name)
            }
    }
    # Those files where there are any; else any file.
    function Complete-Preferred([string]$word, [string]$pattern) {
        $files = @(Get-ChildItem -Path "$word*" -File -Force -ErrorAction SilentlyContinue |
            Where-Object { $_.Name -match $pattern })
        if ($files.Count -gt 0) { Complete-Files $word $pattern } else { Complete-Files $word '.' }
    }
    function Complete-Words([string]$word, [string[]]$pairs) {
        for ($i = 0; $i -lt $pairs.Count; $i += 2) {
            if ($pairs[$i].StartsWith($word)) {
                [System.Management.Automation.CompletionResult]::new($pairs[$i], $pairs[$i], 'ParameterName', $pairs[$i + 1])
            }
        }
    }

    $before = @($commandAst.CommandElements | Where-Object { $_.Extent.EndOffset -lt $cursorPosition } |
        ForEach-Object { $_.Extent.Text })
    # The first mode option wins; whatever follows its names is ignored.
    $modeAt = 0
    for ($i = 2; $i -lt $before.Count; $i++) {
        if ($before[$i] -cin '-r', '-w', '-wvireo', '-i', '-s', '-g') { $modeAt = $i; break }
    }
    if ($before.Count -eq 1) {
        if ($wordToComplete.StartsWith('-')) {
            Complete-Words $wordToComplete @('--help', 'every option and the exit statuses',
                '-h', 'every option and the exit statuses', '--version', 'the version')
        } else {
            Complete-Files $wordToComplete '\.jpe?g$'
        }
        return
    }
    if ($modeAt -eq 0) {
        Complete-Words $wordToComplete @(
            '-r', 'cut the APP1 segment out into SRCFILE.app1',
            '-w', 'replace the APP1 segment with APP1_FILE, into OUTPUT_FILE',
            '-wvireo', 'as -w, the output starting FF D8 FF E1',
            '-i', 'put the Exif segment of APP1_FILE in, into OUTPUT_FILE',
            '-s', 'strip the metadata, into OUTPUT_FILE',
            '-g', 'take the location out, into OUTPUT_FILE',
            '-d', 'trace the scan and every Exif entry',
            '-j', 'print where every byte belongs, as JSON',
            '-k', "keep the replaced target's times")
        return
    }
    $mode = $before[$modeAt]
    $nth = $before.Count - $modeAt
    $oneName = $mode -ceq '-s' -or $mode -ceq '-g'
    if (($oneName -and $nth -eq 1) -or ($mode -cne '-r' -and -not $oneName -and $nth -eq 2)) {
        Complete-Files $wordToComplete '.'
    } elseif ($mode -ceq '-i' -and $nth -eq 1) {
        # APP1_FILE: a side file or a JPEG donor.
        Complete-Preferred $wordToComplete '\.(app1|jpe?g)$'
    } elseif (($mode -ceq '-w' -or $mode -ceq '-wvireo') -and $nth -eq 1) {
        Complete-Preferred $wordToComplete '\.app1$'
    }
}
