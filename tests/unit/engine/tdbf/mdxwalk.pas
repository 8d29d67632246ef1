{ An independent reader for the engine tests: walks every tag of a table's production
  index with TDbf (Free Pascal's fcl-db), which navigates the index's B-tree with its
  own code, and prints the record numbers in the order the tag gives them.

    mdxwalk FOLDER TABLE.DBF LIMIT

  Output: "TAGS <n>", then for each tag "TAG <name>", one "R <recno>" line per entry
  and "END <count>"; a walk that goes past LIMIT entries ends with "LOOP" instead.
  TDbf looks for the index as <base>.mdx (lower-case extension). }
program mdxwalk;

{$mode objfpc}{$H+}

uses
  SysUtils, Classes, db, dbf;

var
  Table: TDbf;
  Names: TStringList;
  I, Count, Limit: Integer;
begin
  if ParamCount <> 3 then
  begin
    WriteLn('usage: mdxwalk FOLDER TABLE.DBF LIMIT');
    Halt(2);
  end;
  Limit := StrToInt(ParamStr(3));
  Table := TDbf.Create(nil);
  Names := TStringList.Create;
  try
    try
      Table.FilePathFull := ParamStr(1);
      Table.TableName := ParamStr(2);
      Table.TableLevel := 4;
      Table.ReadOnly := True;
      Table.Exclusive := False;
      Table.ShowDeleted := True;
      Table.Open;
      Table.GetIndexNames(Names);
      WriteLn('TAGS ', Names.Count);
      for I := 0 to Names.Count - 1 do
      begin
        Table.IndexName := Names[I];
        WriteLn('TAG ', Names[I]);
        Count := 0;
        Table.First;
        while not Table.EOF do
        begin
          if Count >= Limit then
            Break;
          WriteLn('R ', Table.PhysicalRecNo);
          Inc(Count);
          Table.Next;
        end;
        if Table.EOF then
          WriteLn('END ', Count)
        else
          WriteLn('LOOP');
      end;
      Table.Close;
    except
      on E: Exception do
      begin
        WriteLn('ERROR ', E.ClassName, ': ', E.Message);
        Halt(1);
      end;
    end;
  finally
    Names.Free;
    Table.Free;
  end;
end.
