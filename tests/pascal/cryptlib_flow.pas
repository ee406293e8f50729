{ A host in Object Pascal, the language family of the banking clients: it
  loads the engine library by path through its own declarations of the
  exports (not the C header) and runs a short flow between two parties of an
  installation the host tool's demo made: Bob encrypts for the bank, the bank
  decrypts; Bob signs, the bank verifies, and a changed byte is refused.

  Usage: cryptlib_flow LIBRARY ROOT   (ROOT as left by "cryptlib-host demo
  --keys rsa --root ROOT") }
program cryptlib_flow;

{$mode objfpc}{$H+}

uses
  SysUtils, DynLibs;

type
  THandle32 = Pointer;
  { The exports are stdcall on 32-bit Windows; on x86-64 there is one
    convention and the modifier changes nothing. }
  TGetCryptObj = function: THandle32; stdcall;
  TDoneEngine = procedure(h: THandle32); stdcall;
  TSetRootPath = procedure(h: THandle32; path: PAnsiChar); stdcall;
  TSetCryptoParamValue = function(h: THandle32; index: LongInt; value: PAnsiChar): LongInt; stdcall;
  TGetSize = function(h: THandle32): LongInt; stdcall;
  TGetMaxAdditionEx = function(h: THandle32; uidList: PAnsiChar): LongInt; stdcall;
  TEncodeData = function(h: THandle32; data: Pointer; length: PLongInt; uidList: PAnsiChar): LongInt; stdcall;
  TDecodeData = function(h: THandle32; data: Pointer; length: PLongInt; uid: PAnsiChar): LongInt; stdcall;
  TSignData = function(h: THandle32; data: Pointer; length: LongInt; signature: Pointer;
    signatureLength: PLongInt; signerUid: PAnsiChar): LongInt; stdcall;
  TVerifyData = function(h: THandle32; data: Pointer; length: LongInt; signature: Pointer;
    signatureLength: LongInt; signerUid: PAnsiChar): LongInt; stdcall;
  TGetLastErrorMessage = procedure(h: THandle32; text: PAnsiChar); stdcall;

var
  Library_: TLibHandle;
  GetCryptObj: TGetCryptObj;
  DoneEngine: TDoneEngine;
  SetRootPath: TSetRootPath;
  SetCryptoParamValue: TSetCryptoParamValue;
  GetMaxUIDLength, GetMaxSignatureLength, GetMaxErrorStringLength: TGetSize;
  GetMaxAdditionEx: TGetMaxAdditionEx;
  EncodeData: TEncodeData;
  DecodeData: TDecodeData;
  SignData: TSignData;
  VerifyData: TVerifyData;
  GetLastErrorMessage: TGetLastErrorMessage;
  Failures: Integer = 0;

function Bind(const name: string): Pointer;
begin
  Result := GetProcedureAddress(Library_, name);
  if Result = nil then
  begin
    WriteLn('FAIL: no export ', name);
    Halt(1);
  end;
end;

procedure BindExports;
begin
  Pointer(GetCryptObj) := Bind('GetCryptObj');
  Pointer(DoneEngine) := Bind('DoneEngine');
  Pointer(SetRootPath) := Bind('SetRootPath');
  Pointer(SetCryptoParamValue) := Bind('SetCryptoParamValue');
  Pointer(GetMaxUIDLength) := Bind('GetMaxUIDLength');
  Pointer(GetMaxSignatureLength) := Bind('GetMaxSignatureLength');
  Pointer(GetMaxErrorStringLength) := Bind('GetMaxErrorStringLength');
  Pointer(GetMaxAdditionEx) := Bind('GetMaxAdditionEx');
  Pointer(EncodeData) := Bind('EncodeData');
  Pointer(DecodeData) := Bind('DecodeData');
  Pointer(SignData) := Bind('SignData');
  Pointer(VerifyData) := Bind('VerifyData');
  Pointer(GetLastErrorMessage) := Bind('GetLastErrorMessage');
end;

function LastError(h: THandle32): string;
var
  text: array of AnsiChar;
begin
  SetLength(text, GetMaxErrorStringLength(h) + 1024);
  FillChar(text[0], Length(text), 0);
  GetLastErrorMessage(h, @text[0]);
  Result := PAnsiChar(@text[0]);
end;

procedure Check(condition: Boolean; const what: string);
begin
  if condition then
    WriteLn('ok   ', what)
  else
  begin
    WriteLn('FAIL ', what);
    Inc(Failures);
  end;
end;

procedure CheckCall(h: THandle32; code: LongInt; const what: string);
begin
  if code = 0 then
    Check(True, what)
  else
    Check(False, what + ': code ' + IntToStr(code) + ' ' + LastError(h));
end;

{ An engine of one party of the demo, configured as the demo configures it. }
function PartyEngine(const root, name: string): THandle32;
var
  home: string;
  procedure SetParam(index: LongInt; const value: string);
  begin
    if SetCryptoParamValue(Result, index, PAnsiChar(value)) <> 0 then
    begin
      WriteLn('FAIL: ', name, ' refuses parameter ', index);
      Halt(1);
    end;
  end;
begin
  Result := GetCryptObj();
  if Result = nil then
  begin
    WriteLn('FAIL: GetCryptObj returned nil');
    Halt(1);
  end;
  SetRootPath(Result, PAnsiChar(root));
  home := root + '/' + name + '/';
  SetParam(1, home + 'own.pem');
  SetParam(2, home + 'certs');
  SetParam(3, home + 'keys');
  SetParam(4, 'AES-256-CBC');
  SetParam(5, 'SHA256');
  SetParam(23, home + 'keys');
  SetParam(25, home + 'keys/CA');
  SetParam(26, home + 'keys/CRL');
  { The abonents' keys are under the passphrase run_flow.sh gave the demo. }
  if name <> 'Bank' then
    SetParam(8, 'env:CRYPTLIB_DEMO_PASSPHRASE');
end;

function UidText(const buffer: array of AnsiChar): string;
begin
  Result := PAnsiChar(@buffer[0]);
end;

const
  Document: AnsiString = 'Payment order No. 17: 1500.00 to account 40702810900000000001';

var
  root: string;
  bob, bank: THandle32;
  buffer, signature: array of Byte;
  uid: array of AnsiChar;
  length_, signatureLength: LongInt;
  plain: AnsiString;
begin
  if ParamCount <> 2 then
  begin
    WriteLn('usage: cryptlib_flow LIBRARY ROOT');
    Halt(2);
  end;
  Library_ := LoadLibrary(ParamStr(1));
  if Library_ = NilHandle then
  begin
    WriteLn('FAIL: cannot load ', ParamStr(1));
    Halt(1);
  end;
  BindExports;
  root := ExcludeTrailingPathDelimiter(ParamStr(2));
  bob := PartyEngine(root, 'Bob');
  bank := PartyEngine(root, 'Bank');
  SetLength(uid, GetMaxUIDLength(bank) + 1);

  { Encryption for one abonent: the buffer holds the data and the addition. }
  length_ := Length(Document);
  SetLength(buffer, length_ + GetMaxAdditionEx(bob, 'Bank'));
  Move(Document[1], buffer[0], length_);
  CheckCall(bob, EncodeData(bob, @buffer[0], @length_, 'Bank'), 'Bob encrypts for Bank');
  Check((length_ > Length(Document)) and (CompareByte(buffer[0], Document[1], 16) <> 0),
    'the protected data is longer and not the plain text');
  FillChar(uid[0], Length(uid), 0);
  CheckCall(bank, DecodeData(bank, @buffer[0], @length_, @uid[0]), 'Bank decrypts');
  SetString(plain, PAnsiChar(@buffer[0]), length_);
  Check(plain = Document, 'the plain text comes back');
  Check(UidText(uid) = 'Bank', 'addressed to "' + UidText(uid) + '"');

  { A detached signature, verified by the other party. }
  signatureLength := GetMaxSignatureLength(bob);
  SetLength(signature, signatureLength);
  CheckCall(bob, SignData(bob, @Document[1], Length(Document), @signature[0], @signatureLength, nil),
    'Bob signs');
  FillChar(uid[0], Length(uid), 0);
  CheckCall(bank, VerifyData(bank, @Document[1], Length(Document), @signature[0], signatureLength, @uid[0]),
    'Bank verifies');
  Check(UidText(uid) = 'Bob', 'signed by "' + UidText(uid) + '"');
  plain := Document;
  plain[1] := 'p';
  Check(VerifyData(bank, @plain[1], Length(plain), @signature[0], signatureLength, @uid[0]) <> 0,
    'a changed byte is refused');

  DoneEngine(bob);
  DoneEngine(bank);
  UnloadLibrary(Library_);
  if Failures <> 0 then
  begin
    WriteLn(Failures, ' failure(s)');
    Halt(1);
  end;
  WriteLn('the Pascal host''s flow passed');
end.
