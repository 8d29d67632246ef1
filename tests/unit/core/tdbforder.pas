{ tdbforder TABLE.DBF TAG EXPRESSION [TAG EXPRESSION ...]
  Makes the table's production index with the Free Pascal TDbf component itself (the
  table must have none) and prints, for each tag, the records in the order TDbf put them:
  "TAG name: rec rec rec ...". }
program tdbforder;
{$mode objfpc}{$H+}
uses SysUtils, db, dbf;
var
  T: TDbf;
  i: Integer;
begin
  if (ParamCount < 3) or (ParamCount mod 2 <> 1) then
  begin
    WriteLn(StdErr, 'usage: tdbforder TABLE.DBF TAG EXPRESSION [TAG EXPRESSION ...]');
    Halt(64);
  end;
  T := TDbf.Create(nil);
  try
    T.FilePathFull := ExtractFilePath(ExpandFileName(ParamStr(1)));
    T.TableName := ExtractFileName(ParamStr(1));
    T.Exclusive := True;
    T.ShowDeleted := True;
    T.Open;
    i := 2;
    while i < ParamCount do
    begin
      T.AddIndex(ParamStr(i), ParamStr(i + 1), []);
      Inc(i, 2);
    end;
    i := 2;
    while i < ParamCount do
    begin
      T.IndexName := ParamStr(i);
      T.First;
      Write('TAG ', ParamStr(i), ':');
      while not T.EOF do
      begin
        Write(' ', T.PhysicalRecNo);
        T.Next;
      end;
      WriteLn;
      Inc(i, 2);
    end;
    T.Close;
  finally
    T.Free;
  end;
end.
