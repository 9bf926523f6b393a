#!/usr/bin/env python3
"""json-as-text.py DOCUMENT: the `chunkpack list` text that a `--json`
document says, byte for byte, so that a test can compare the two outputs."""
import json
import sys

d = json.load(open(sys.argv[1], encoding='utf-8'))
assert d['schema'] == 'chunkpack.installer' and d['schema_version'] == 1, 'unknown schema'
out = sys.stdout.buffer


def raw(obj, name):
    """A text field's exact bytes: NAME_hex where the text was no UTF-8."""
    return bytes.fromhex(obj[name + '_hex']) if name + '_hex' in obj else obj[name].encode()


def printable(b):
    return b''.join(b'\\' + bytes([c]) if c in b'\\"' else b'\\x%02x' % c if c < 0x20 or c == 0x7f else bytes([c])
                    for c in b)


def line(b):
    out.write(b + b'\n')


identity = d['identity']
if not identity['readable']:
    line(b'identity unreadable: ' + identity['problem'].encode())
else:
    if identity['version']:
        v = identity['version']
        line(b'version  file %s, product %s, language %04x, code page %d' %
             (v['file'].encode(), v['product'].encode(), v['language'], v['code_page']))
        for t in v['texts']:
            line(b'version  "%s" = "%s"' % (printable(t['name'].encode()), printable(t['value'].encode())))
    for name, label in (('vendor_name', b'vendor (2001)'), ('product_name', b'product (2002)')):
        if identity[name] is not None:
            line(b'name     %s = "%s"' % (label, printable(identity[name].encode())))
    if identity['icon_images']:
        line(b'icon     %d images: %s' % (len(identity['icon_images']), b', '.join(
            b'%dx%d %d-bit' % (i['width'], i['height'], i['bits']) for i in identity['icon_images'])))
for e in d['entries']:
    assert e['digest'] == 'ok'
    kind, key, note = e['kind'], b'"%s"' % printable(raw(e, 'key')) if 'key' in e else b'', b''
    if kind == 'value':
        field = key + b' = "%s"' % printable(raw(e, 'value'))
    elif kind == 'file':
        field = key + b' = %s (%d bytes)' % (printable(raw(e, 'file_name')), e['size'])
    elif kind == 'other':
        field, note = b'"%s" %s' % (printable(raw(e, 'kind_text')), key), b' (unknown kind, ignored)'
    else:  # the tail (no key) and the stub
        field = key
    line(b'%-6s %-40s digest ok%s' % (kind.encode(), field, note))
stopped = d['stopped']
if stopped:  # the reason code and the offset as the message says them
    assert stopped['message'].startswith({
        'no_archive_end': 'no archive tail', 'read_failed': 'a chunk cannot be read', 'digest_mismatch': 'digest mismatch',
        'extract_failed': 'cannot extract', 'commitment_mismatch': 'the chunks read do not match'}[stopped['reason']])
    assert (stopped['offset'] is not None) == (stopped['reason'] in ('read_failed', 'digest_mismatch'))
    assert stopped['offset'] is None or stopped['message'].endswith(' offset %d' % stopped['offset'])
    line(b'stopped: ' + stopped['message'].encode())
table = d['certificate_table']
if table['state'] == 'present':
    line(b'certificate table: at offset %d, %d bytes; the archive ends where it begins' % (table['offset'], table['size']))
elif table['state'] == 'unusable':
    line(b'certificate table: unusable: ' + table['reason'].encode())
else:
    assert table['state'] == 'none'
    line(b'certificate table: none; the archive ends at the end of the file')
if table['hidden']:
    line(b'hidden in or behind the certificate table: ' + table['hidden'].encode())
line(b'commitment: ' + d['commitment']['description'].encode())
line(b'archive complete: ' + (b'yes' if d['archive_complete'] else b'no'))
