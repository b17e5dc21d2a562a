#!/usr/bin/env python3
# Makes the manual page packaging/korvane.ini.5 from docs/settings.md, so the
# two say the same (tests/foundation/SettingsReferenceTest.cpp checks both
# against the table of keys). Run from the repository's root after editing
# docs/settings.md.
import re
src=open('docs/settings.md').read().split('\n')
out=['.TH KORVANE.INI 5 "December 2026" "Korvane @PROJECT_VERSION@" "File Formats"',
'.SH NAME','Korvane.ini \\- the settings of a Korvane mailbox',
'.SH SYNOPSIS','.IR program-folder /Korvane.ini',
'.SH DESCRIPTION']
def inline(t):
    t=t.replace('\\','\\e')
    t=re.sub(r'\*\*`([^`]+)`\*\*',r'\\fB\1\\fR',t)
    t=re.sub(r'`([^`]+)`',r'\\fB\1\\fR',t)
    t=re.sub(r'\*\*([^*]+)\*\*',r'\\fB\1\\fR',t)
    t=re.sub(r' This text is also the manual page [^.]*\.[^.]*\.','',t)
    return t
def emit(text):
    for line in text.split('\n'):
        line=line.strip()
        if line.startswith('.') or line.startswith("'"): line='\\&'+line
        out.append(line)
items=[]; cur=None; kind=None
def flush():
    global cur,kind
    if cur is None: return
    t=' '.join(x.strip() for x in cur)
    if kind=='key':
        m=re.match(r'- \*\*`([^`]+)`\*\*:?\s*(.*)',t)
        out.append('.TP'); out.append('.B '+m.group(1))
        rest=m.group(2)
        emit(inline(rest).replace(' ','\n',0))
    elif kind=='bullet':
        out.append('.IP \\(bu 2'); emit(inline(t[2:]))
    else:
        out.append('.PP'); emit(inline(t))
    cur=None; kind=None
first=True
for line in src:
    if line.startswith('# '): continue
    if line.startswith('## '):
        flush(); out.append('.SH '+line[3:].upper().replace('KORVANE.INI','Korvane.ini')); continue
    if not line.strip(): flush(); continue
    if line.startswith('- '):
        flush(); cur=[line]; kind='key' if line.startswith('- **`') else 'bullet'; continue
    if cur is None: cur=[line]; kind='para'
    else: cur.append(line)
flush()
out+=['.SH SEE ALSO','.BR korvaned (1),','.BR korvane (1)','']
text='\n'.join(out)
open('packaging/korvane.ini.5','w').write(text)
