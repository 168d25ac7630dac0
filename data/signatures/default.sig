# The default signature database, compiled into the program folder at build time by
# kestravo-sigc (Matrix.DLL, Virus.seq, tbl02.dir, tbl02, tbl02.nam and virus.lst).
#
# NAME:TARGETS:BODY - TARGETS is exe, com, boot (joined by '+') or doc; the language is
# described in docs/SIGNATURES.md.

!version 1

# The industry's standard anti-virus test file: the 68-byte test string, as a program
# (anywhere in the scanned blocks of a program file or an archive member) and as plain data
# in documents. Written in pieces so that this file does not hold the string in one piece.
EICAR-Test-File:exe+com:"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" "EICAR-STANDARD-ANTIVIRUS-" "TEST-FILE!$H+H*"
EICAR-Test-File:doc:"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" "EICAR-STANDARD-ANTIVIRUS-" "TEST-FILE!$H+H*"

# Demonstration signatures: harmless byte patterns of our own that show the token kinds and
# the two built-in detection routines. No real program carries them.
Kestravo.Demo.Skip:exe+com:"KVDEMO-SKIP" ?? {4} "END"
Kestravo.Demo.Gap:exe+com:"KVDEMO-GAP" {-20} "FOUND"
Kestravo.Demo.Nibble:exe+com:"KVDEMO-NIBBLE" 4? ?7 "END"
Kestravo.Demo.Entry:exe+com:"KVDEMO-ENTRY" (entry)
Kestravo.Demo.NearEnd:exe+com:"KVDEMO-TAIL" (near-end 64)
Kestravo.Demo.Header:exe:"KVDEMO-HEADER" (header) "MZ"
Kestravo.Demo.Anchored:com:^"KVDEMO-START"
Kestravo.Demo.Decryptor:exe+com:"KVDEMO-LOOP" (decryptor) 75
Kestravo.Demo.Marker:exe+com:"KVDEMO-MARK" (marker)

# A boot-sector test pattern.
Kestravo.Demo.Boot:boot:"KESTRAVO-BOOT-SECTOR-TEST"

# A document test pattern.
Kestravo.Demo.Document:doc:"KVDEMO-DOCUMENT-TEST"
